// A child process for end-to-end tests on Linux, its output collected until it ends: a "dorn
// serve" whose console address is read from the line it prints, or any program RunProcess waits
// for.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UniqueFd.h"

namespace dorn::test {

class ServeProcess {
  public:
    // Runs `program` with `arguments`; `environment` entries ("NAME=VALUE") replace or add to
    // the test's own.
    ServeProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    // Kills the child if it still runs.
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Waits for the "console at URL" line; false when the child ended or said nothing in time.
    bool WaitForConsole(std::chrono::seconds timeout);
    int Port() const { return m_port; }
    const std::string& Token() const { return m_token; }

    void Signal(int signal) const;
    // The exit status once the child exited; none when it did not end in time or was killed by
    // a signal.
    std::optional<int> WaitForExit(std::chrono::seconds timeout);

    std::string Out() const;
    std::string Err() const;

  private:
    void Drain(UniqueFd outFd, UniqueFd errFd);

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;  // waitpid's, once reaped
    std::thread m_drain;
    mutable std::mutex m_lock;
    std::condition_variable m_output;  // more output, or the end of it
    std::string m_out;
    std::string m_err;
    bool m_ended = false;
    std::string m_token;
    int m_port = 0;
};

}  // namespace dorn::test
