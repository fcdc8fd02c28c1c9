// SIGINT and SIGTERM as an orderly request to stop. The signals are blocked and read from a
// signalfd, so no code runs in a signal handler; a second descriptor lets the program wake the
// waiter itself (the server ended on its own).
#pragma once

#include <signal.h>

#include <string>

#include "UniqueFd.h"

class ShutdownSignal {
  public:
    // Blocks SIGINT and SIGTERM in the calling thread and so in every thread it starts later:
    // make it before any other thread exists.
    ShutdownSignal();
    // Drops signals that came meanwhile and restores the signal mask.
    ~ShutdownSignal();
    ShutdownSignal(const ShutdownSignal&) = delete;
    ShutdownSignal& operator=(const ShutdownSignal&) = delete;

    // False with `error` when the descriptors could not be made.
    bool Ready(std::string& error) const;
    // Waits for SIGINT or SIGTERM (their number) or for Wake (0).
    int Wait();
    // Ends Wait from any thread.
    void Wake();

  private:
    sigset_t m_signals{};
    sigset_t m_previousMask{};
    UniqueFd m_signalFd;
    UniqueFd m_wakeFd;
    int m_setupError = 0;
};
