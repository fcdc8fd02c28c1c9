// Real processes, directories and credentials for the process tests.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/LogCapture.h"

namespace dorn::test {

// A child started for a test; killed and reaped when the object goes.
class TestChild {
  public:
    // Runs `program` with `arguments`, as `uid` (and its group) when given, with the process
    // id `pid` when given (clone3 set_tid; needs CAP_SYS_ADMIN). Returns once the child runs
    // `program` (its /proc exe names it). Fails the test and leaves Pid() 0 otherwise.
    explicit TestChild(const std::string& program, std::vector<std::string> arguments = {"30"},
                       std::optional<uid_t> uid = std::nullopt,
                       std::optional<pid_t> pid = std::nullopt);
    ~TestChild();
    TestChild(const TestChild&) = delete;
    TestChild& operator=(const TestChild&) = delete;

    pid_t Pid() const { return m_pid; }
    // Kills (SIGKILL) and reaps the child.
    void Kill();
    // Reaps the child once it has ended, waiting up to `timeoutMs`; the wait status, or
    // nullopt when it still runs.
    std::optional<int> WaitEnded(int timeoutMs);
    bool Running();

  private:
    pid_t m_pid = 0;
    bool m_reaped = false;
};

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::wstring WindowsPath() const;

  private:
    std::string m_path;
};

// "Z:\a\b" for "/a/b" (ASCII paths only).
std::wstring ToZPath(const std::string& linuxPath);
// Creates directories along `path`.
void MakeDirectories(const std::string& path);
void WriteTextFile(const std::string& path, const std::string& text);
// Copies an executable (mode 0755) through a temporary name, so a concurrent reader sees either
// no file or the whole one.
void CopyExecutable(const std::string& from, const std::string& to);

// The test program's own directory and its real path.
std::string OwnExecutable();
// The program `sleep` as /proc/<pid>/exe names it.
std::string SleepProgram();

// Runs `body` on a thread whose capability sets lack `capability` (Linux capabilities are per
// thread), and waits for it.
void RunWithoutCapability(int capability, const std::function<void()>& body);

// The account name of the effective uid.
std::wstring CurrentUserName();

// A log line of `level` that starts with `prefix`.
bool HasLineStartingWith(const LogCapture& log, int level, const std::wstring& prefix);

}  // namespace dorn::test
