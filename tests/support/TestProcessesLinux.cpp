// Children by fork and exec (as another account, or with a chosen id), and the Linux layer's
// seams for the protection list.
#include <grp.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <winport/testing.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "TestProcesses.h"

namespace dorn::test {
namespace {

std::string ExeOf(pid_t pid) {
    std::error_code error;
    auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    return error ? std::string() : target.string();
}

// The child's side: drop to `uid`, run the program. Only async-signal-safe calls.
[[noreturn]] void RunChild(const char* program, char* const* argv, const uid_t* uid, gid_t gid) {
    if (uid != nullptr) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(*uid) != 0) _exit(126);
    }
    execv(program, argv);
    _exit(127);
}

pid_t CloneWithPid(pid_t wanted) {
    uint64_t tid = static_cast<uint64_t>(wanted);
    clone_args args;
    std::memset(&args, 0, sizeof args);
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uint64_t>(&tid);
    args.set_tid_size = 1;
    return static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
}

}  // namespace

// The programs' real paths, as /proc/<pid>/exe and the process calls give them.
Program Sleeper() {
    return {std::filesystem::weakly_canonical("/bin/sleep").string(), {"30"}};
}

Program Spinner() {
    return {std::filesystem::weakly_canonical("/bin/sh").string(), {"-c", "while :; do :; done"}};
}

TestChild::TestChild(const Program& program, const ChildOptions& options) {
    std::vector<std::string> words = {program.path};
    words.insert(words.end(), program.arguments.begin(), program.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const uid_t uid = options.uid.value_or(0);
    const passwd* entry = options.uid ? getpwuid(uid) : nullptr;
    const gid_t gid = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(uid);
    const pid_t started = options.pid ? CloneWithPid(static_cast<pid_t>(*options.pid)) : fork();
    if (started == 0) {
        RunChild(program.path.c_str(), argv.data(), options.uid ? &uid : nullptr, gid);
    }
    if (started < 0) {
        ADD_FAILURE() << "cannot start " << program.path << ": " << std::strerror(errno);
        return;
    }
    m_pid = static_cast<DWORD>(started);
    // Running once the exec is done: /proc/<pid>/exe then names the program.
    const std::string expected = std::filesystem::weakly_canonical(program.path).string();
    for (int i = 0; i < 500 && ExeOf(started) != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ExeOf(started), expected) << "the child did not start " << program.path;
}

TestChild::~TestChild() {
    Kill();
}

void TestChild::Kill() {
    if (m_pid == 0 || m_ended) return;
    kill(static_cast<pid_t>(m_pid), SIGKILL);
    int status = 0;
    waitpid(static_cast<pid_t>(m_pid), &status, 0);
    m_ended = true;
}

bool TestChild::WaitEnded(int timeoutMs) {
    for (int waited = 0; m_pid != 0 && !m_ended; waited += 10) {
        int status = 0;
        m_ended = waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG) == pid_t(m_pid);
        if (m_ended || waited >= timeoutMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_ended;
}

std::wstring WindowsPath(const std::filesystem::path& path) {
    std::wstring windows = L"Z:";
    for (char c : path.string()) windows.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return windows;
}

std::filesystem::path OwnExecutable() {
    return ExeOf(getpid());
}

std::wstring CurrentUserName() {
    const passwd* entry = getpwuid(geteuid());
    const std::string name = entry != nullptr ? entry->pw_name : "";
    return std::wstring(name.begin(), name.end());
}

std::wstring SystemProcessName() {
    // The table names a process after its executable, or where that is hidden, its command.
    std::string name = std::filesystem::path(ExeOf(1)).filename().string();
    if (name.empty()) std::getline(std::ifstream("/proc/1/comm"), name);
    return std::wstring(name.begin(), name.end());
}

bool UnderWine() {
    return false;
}

void RunWithoutCapability(int capability, const std::function<void()>& body) {
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        const uint32_t bit = 1u << (static_cast<unsigned>(capability) % 32);
        __user_cap_data_struct& word = data[static_cast<unsigned>(capability) / 32];
        word.effective &= ~bit;
        word.permitted &= ~bit;
        word.inheritable &= ~bit;
        // The raw call changes this thread only; glibc would not offer that.
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0) << std::strerror(errno);
        body();
    });
    worker.join();
}

bool IsKernelThread2() {
    std::ifstream stat("/proc/2/stat");
    std::string pid, comm;
    return stat >> pid >> comm && comm == "(kthreadd)";
}

ProtectionSources::ProtectionSources() {
    m_root.emplace();
    m_service.emplace(Sleeper());
    std::filesystem::create_directories(m_root->Path() / "sleeper.service");
    std::ofstream(m_root->Path() / "sleeper.service" / "cgroup.procs") << m_service->Pid() << "\n";
    winport::testing::SetServiceRoot(m_root->Path().string());
}

ProtectionSources::~ProtectionSources() {
    winport::testing::ClearFailures();
    winport::testing::SetServiceRoot("");
}

}  // namespace dorn::test
