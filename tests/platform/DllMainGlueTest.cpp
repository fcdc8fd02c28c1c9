// The DllMain glue: attach on load, detach with a null reserved argument on FreeLibrary and a
// non-null one at process exit, failure of LoadLibraryW when DllMain refuses to attach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "Paths.h"

extern char** environ;

namespace {

struct DllMainCall {
    HINSTANCE instance;
    DWORD reason;
    bool reservedSet;
};

// Never destroyed: at exit the probe's DllMain runs after this program's statics are gone.
struct Recorder {
    std::mutex mutex;
    std::vector<DllMainCall> calls;
};
Recorder& Calls() {
    static auto* recorder = new Recorder();
    return *recorder;
}
BOOL attachResult = TRUE;

std::vector<DllMainCall> TakeCalls() {
    std::lock_guard lock(Calls().mutex);
    return std::exchange(Calls().calls, {});
}

const std::wstring& ProbePath() {
    static const std::wstring path = winport::ToWindowsPath(DLLMAIN_PROBE_PATH);
    return path;
}

constexpr const char* kExitChildVariable = "WINPORT_DLLMAIN_EXIT_CHILD";

}  // namespace

// Called by the probe library's DllMain.
extern "C" __attribute__((visibility("default"))) void RecordDllMainCall(HINSTANCE instance,
                                                                         DWORD reason,
                                                                         LPVOID reserved) {
    std::lock_guard lock(Calls().mutex);
    Calls().calls.push_back({instance, reason, reserved != nullptr});
}

extern "C" __attribute__((visibility("default"))) BOOL ProbeAttachResult() {
    return attachResult;
}

namespace {

class DllMainGlueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        attachResult = TRUE;
        TakeCalls();
    }
};

TEST_F(DllMainGlueTest, LoadAttachesAndFreeLibraryDetachesWithNullReserved) {
    const HMODULE module = LoadLibraryW(ProbePath().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    std::vector<DllMainCall> seen = TakeCalls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, module);
    EXPECT_EQ(seen[0].reason, DWORD{DLL_PROCESS_ATTACH});
    EXPECT_FALSE(seen[0].reservedSet);

    using Answer = int (*)();
    const auto answer =
        reinterpret_cast<Answer>(reinterpret_cast<void*>(GetProcAddress(module, "ProbeAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetModuleHandleW(L"" DLLMAIN_PROBE_NAME), module);
    wchar_t fileName[MAX_PATH * 4];
    ASSERT_GT(GetModuleFileNameW(module, fileName, MAX_PATH * 4), 0u);
    EXPECT_EQ(std::wstring(fileName), ProbePath());

    // A second load only counts a reference; the last FreeLibrary detaches.
    ASSERT_EQ(LoadLibraryW(ProbePath().c_str()), module);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(TakeCalls().empty());
    ASSERT_TRUE(FreeLibrary(module));
    seen = TakeCalls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, module);
    EXPECT_EQ(seen[0].reason, DWORD{DLL_PROCESS_DETACH});
    EXPECT_FALSE(seen[0].reservedSet);
    EXPECT_EQ(GetModuleHandleW(L"" DLLMAIN_PROBE_NAME), nullptr);
}

TEST_F(DllMainGlueTest, RefusedAttachFailsTheLoadAndDetaches) {
    attachResult = FALSE;
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(ProbePath().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DLL_INIT_FAILED});
    const std::vector<DllMainCall> seen = TakeCalls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reason, DWORD{DLL_PROCESS_ATTACH});
    EXPECT_EQ(seen[1].reason, DWORD{DLL_PROCESS_DETACH});
    EXPECT_FALSE(seen[1].reservedSet);
    EXPECT_EQ(GetModuleHandleW(L"" DLLMAIN_PROBE_NAME), nullptr);
}

// Runs only in the child process started by the next test: loads the probe and exits.
TEST_F(DllMainGlueTest, ExitChild) {
    if (std::getenv(kExitChildVariable) == nullptr) GTEST_SKIP() << "runs as a child process";
    if (LoadLibraryW(ProbePath().c_str()) == nullptr) std::_Exit(3);
    std::exit(0);
}

// Reads a child's standard output to the end; closes the pipe on every path.
class ChildOutput {
  public:
    ChildOutput() {
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~ChildOutput() {
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
    }
    ChildOutput(const ChildOutput&) = delete;
    ChildOutput& operator=(const ChildOutput&) = delete;

    bool IsOpen() const { return fds_[0] >= 0; }
    int WriteEnd() const { return fds_[1]; }

    std::string ReadAll() {
        close(fds_[1]);
        fds_[1] = -1;
        std::string text;
        char buffer[4096];
        ssize_t count = 0;
        while ((count = read(fds_[0], buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(count));
        }
        return text;
    }

  private:
    int fds_[2] = {-1, -1};
};

TEST_F(DllMainGlueTest, ProcessExitDetachesWithNonNullReserved) {
    if (std::getenv(kExitChildVariable) != nullptr) GTEST_SKIP() << "in the child process";
    ChildOutput output;
    ASSERT_TRUE(output.IsOpen());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output.WriteEnd(), STDOUT_FILENO);
    std::vector<std::string> environment{std::string(kExitChildVariable) + "=1"};
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=DllMainGlueTest.ExitChild";
    char* argv[] = {program.data(), filter.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    const std::string text = output.ReadAll();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("dllmain_probe: detached at process exit"), std::string::npos) << text;
}

}  // namespace
