#include "tests/process/ProcessTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace dorn::test {
namespace {

std::string ExeOf(pid_t pid) {
    std::error_code error;
    auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    return error ? std::string() : target.string();
}

// The child's side: drop to `uid`, run the program. Only async-signal-safe calls.
[[noreturn]] void RunChild(const char* program, char* const* argv, const uid_t* uid,
                           const gid_t* gid) {
    if (uid != nullptr) {
        if (setgroups(0, nullptr) != 0 || setgid(*gid) != 0 || setuid(*uid) != 0) _exit(126);
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

TestChild::TestChild(const std::string& program, std::vector<std::string> arguments,
                     std::optional<uid_t> uid, std::optional<pid_t> pid) {
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    gid_t gid = 0;
    if (uid) {
        passwd* entry = getpwuid(*uid);
        gid = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(*uid);
    }
    const pid_t started = pid ? CloneWithPid(*pid) : fork();
    if (started == 0) RunChild(program.c_str(), argv.data(), uid ? &*uid : nullptr, &gid);
    if (started < 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(errno);
        return;
    }
    m_pid = started;
    // Running once the exec is done: /proc/<pid>/exe then names the program.
    const std::string expected = std::filesystem::weakly_canonical(program).string();
    for (int i = 0; i < 500 && ExeOf(m_pid) != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ExeOf(m_pid), expected) << "the child did not start " << program;
}

TestChild::~TestChild() {
    Kill();
}

void TestChild::Kill() {
    if (m_pid <= 0 || m_reaped) return;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_reaped = true;
}

std::optional<int> TestChild::WaitEnded(int timeoutMs) {
    if (m_pid <= 0 || m_reaped) return std::nullopt;
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_reaped = true;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

bool TestChild::Running() {
    if (m_pid <= 0 || m_reaped) return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_reaped = true;
        return false;
    }
    return true;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/dorn-process-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory";
        return;
    }
    m_path = made;
    chmod(m_path.c_str(), 0755);  // children that dropped to another account read it too
}

TempDir::~TempDir() {
    std::error_code error;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, error);
}

std::wstring TempDir::WindowsPath() const {
    return ToZPath(m_path);
}

std::wstring ToZPath(const std::string& linuxPath) {
    std::wstring path = L"Z:";
    for (char c : linuxPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

void MakeDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    ASSERT_FALSE(error) << path << ": " << error.message();
}

void WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::trunc);
    file << text;
    ASSERT_TRUE(file.good()) << path;
}

void CopyExecutable(const std::string& from, const std::string& to) {
    const std::string temporary = to + ".part" + std::to_string(getpid());
    std::error_code error;
    std::filesystem::copy_file(from, temporary, std::filesystem::copy_options::overwrite_existing,
                               error);
    ASSERT_FALSE(error) << from << " -> " << temporary << ": " << error.message();
    chmod(temporary.c_str(), 0755);
    std::filesystem::rename(temporary, to, error);
    ASSERT_FALSE(error) << temporary << " -> " << to << ": " << error.message();
}

std::string OwnExecutable() {
    return ExeOf(getpid());
}

std::string SleepProgram() {
    return std::filesystem::weakly_canonical("/bin/sleep").string();
}

void RunWithoutCapability(int capability, const std::function<void()>& body) {
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        const unsigned word = static_cast<unsigned>(capability) / 32;
        const uint32_t bit = 1u << (static_cast<unsigned>(capability) % 32);
        data[word].effective &= ~bit;
        data[word].permitted &= ~bit;
        data[word].inheritable &= ~bit;
        // The raw call changes this thread only; glibc would not offer that.
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0) << std::strerror(errno);
        body();
    });
    worker.join();
}

std::wstring CurrentUserName() {
    passwd* entry = getpwuid(geteuid());
    if (entry == nullptr) return std::wstring();
    std::string name = entry->pw_name;
    return std::wstring(name.begin(), name.end());
}

bool HasLineStartingWith(const LogCapture& log, int level, const std::wstring& prefix) {
    for (const auto& record : log.Records()) {
        if (record.level == level && record.message.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace dorn::test
