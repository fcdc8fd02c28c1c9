// Real processes, files and accounts for the process tests, on both builds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "UniqueHandle.h"
#include "LogCapture.h"
#include "TempDirectory.h"

namespace dorn::test {

struct Program {
    std::string path;
    std::vector<std::string> arguments;
};
// Sleeps 30 s: /bin/sleep on Linux, process_test_sleeper.exe (built with the tests) on Windows.
Program Sleeper();
// Keeps a processor busy for up to 30 s.
Program Spinner();

// Linux only (used by Linux-only files): the child's account, and the id it gets (clone3).
struct ChildOptions {
    std::optional<uint32_t> uid;
    std::optional<uint32_t> pid;
};

// A child started for a test; ended when the object goes.
class TestChild {
  public:
    // Returns once the child runs; fails the test and leaves Pid() 0 otherwise.
    explicit TestChild(const Program& program, const ChildOptions& options = {});
    ~TestChild();
    TestChild(const TestChild&) = delete;
    TestChild& operator=(const TestChild&) = delete;

    DWORD Pid() const { return m_pid; }
    // Ends the child and waits until its id is free.
    void Kill();
    // True once the child has ended, by any hand, waiting up to `timeoutMs`.
    bool WaitEnded(int timeoutMs);
    bool Running() { return !WaitEnded(0); }

  private:
    DWORD m_pid = 0;
    bool m_ended = false;
    UniqueHandle m_process;  // Windows: held, so that the id is not reused meanwhile
};

// A path as the process calls give it ("Z:\a\b" for the Linux "/a/b").
std::wstring WindowsPath(const std::filesystem::path& path);
// The file name the process table gives a process running `path`.
std::wstring ImageName(const std::filesystem::path& path);
// Through a temporary name: a concurrent reader sees no file or the whole one.
void CopyExecutable(const std::filesystem::path& from, const std::filesystem::path& to);
std::filesystem::path OwnExecutable();
std::wstring CurrentUserName();
// A process the test did not start: services.exe on Windows, pid 1 on Linux.
std::wstring SystemProcessName();
bool UnderWine();

// Linux only: runs `body` on a thread whose capability sets lack `capability` (Linux
// capabilities are per thread), and waits for it.
void RunWithoutCapability(int capability, const std::function<void()>& body);
// Linux only: whether pid 2 is the kernel thread kthreadd (not so in every container).
bool IsKernelThread2();

// This process's processor time so far, in 100-ns units.
int64_t OwnProcessorTime();
// Keeps this thread busy until the process's processor time has grown by more than `by` (its
// clock ticks in steps of 10 ms or more), or for 30 s at most; gives the time reached.
int64_t BurnOwnProcessorTime(int64_t by);

// One process in the forms "ProcessMetrics" reports and "EndProcess" takes.
struct ProcessIdentity {
    DWORD id = 0;
    int64_t createTime = 0;  // seconds since 1970
    std::wstring path;
    std::wstring name;
};
ProcessIdentity Identify(DWORD pid);

// The protection list's sources for one test. Linux: a service tree of the test's own, with one
// service ("sleeper") whose process is a child; Windows: the system's own.
class ProtectionSources {
  public:
    ProtectionSources();
    ~ProtectionSources();

  private:
    std::optional<TempDirectory> m_root;
    std::optional<TestChild> m_service;
};

}  // namespace dorn::test
