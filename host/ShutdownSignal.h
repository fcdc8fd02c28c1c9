// SIGINT and SIGTERM as an orderly request to stop. On Linux the signals are blocked and read
// from a signalfd, so no code runs in a signal handler; a second descriptor lets the program
// wake the waiter itself (the server ended on its own). On Windows Ctrl+C, Ctrl+Break and the
// closing of the console count as SIGINT, and the service's stop and shutdown controls
// (RequestStop) as SIGTERM.
#pragma once

#include <signal.h>

#include <string>

#if defined(_WIN32)
#include "UniqueHandle.h"
#else
#include "UniqueFd.h"
#endif

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

#if defined(_WIN32)
    // Stops the waiter as `signal` would, from any thread; one that comes before there is a
    // waiter is kept for the next one.
    static void RequestStop(int signal);

  private:
    UniqueHandle m_stopEvent;
    UniqueHandle m_wakeEvent;
    DWORD m_setupError = 0;
#else
  private:
    sigset_t m_signals{};
    sigset_t m_previousMask{};
    UniqueFd m_signalFd;
    UniqueFd m_wakeFd;
    int m_setupError = 0;
#endif
};
