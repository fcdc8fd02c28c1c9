// The protection list and "EndProcess" where they rest on Linux itself or on the Linux layer's
// seams: the critical init and protected kernel threads, service trees made by the test, and
// reused process ids.
#include <gtest/gtest.h>
#include <windows.h>
#include <winport/testing.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ProtectionFixture.h"
#include "ChildProcess.h"
#include "FaultInjection.h"
#include "TestProcesses.h"

namespace dorn::test {
namespace {

const std::wstring kDecision = L"ProcessChecker::IsProcessInBlackList: ";

// The service tree is the test's own, empty at first.
class LinuxProtectionTest : public ProtectionTest {
  protected:
    void SetUp() override {
        ProtectionTest::SetUp();
        winport::testing::SetServiceRoot(m_services.Path().string());
    }
    // A service cgroup `relative` listing `pid`.
    void AddService(const std::string& relative, DWORD pid) {
        std::filesystem::create_directories(m_services.Path() / relative);
        std::ofstream(m_services.Path() / relative / "cgroup.procs") << pid << "\n";
    }
    TempDirectory m_services;
};

TEST_F(LinuxProtectionTest, InitIsCriticalAndKernelThreadsAreProtected) {
    LogCapture log;
    EXPECT_TRUE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_TRUE(log.Has(1, kDecision + L"'Z:\\sbin\\init' is a critical process"));
    if (!IsKernelThread2()) GTEST_SKIP() << "no kernel thread 2 here";
    EXPECT_TRUE(Refused(L"Z:\\kthreadd", 2));
    EXPECT_TRUE(log.Has(0, kDecision + L"'Z:\\kthreadd' is a protected process"));
}

TEST_F(LinuxProtectionTest, SystemFunctionsAreLookedUpOnceOrUntilFound) {
    LogCapture log;
    const std::wstring kernel32 = L"CriticalProcessChecker::LoadKernel32Function: ";
    // A system without IsProcessCritical: said once, and nothing is critical.
    FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_EQ(log.Count(0, kernel32 + L"IsProcessCritical does not exist on system"), 1u);
    // Other lookup failures leave the function unknown, to be looked up at the next decision.
    ProcessChecker::ResetForTesting();
    FailCall("GetProcAddress", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_TRUE(Refused(L"Z:\\sbin\\init", 1));
    // Without NtQueryInformationProcess nothing is protected; said once.
    ProcessChecker::ResetForTesting();
    FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND, 1);
    TestChild child(Sleeper());
    EXPECT_FALSE(Refused(WindowsPath(Sleeper().path), child.Pid()));
    if (IsKernelThread2()) {
        EXPECT_FALSE(Refused(L"Z:\\kthreadd", 2));
    }
    EXPECT_EQ(log.Count(2,
                        L"CriticalProcessChecker::LoadNtdllFunction: NtQueryInformationProcess "
                        L"not exist on system"),
              1u);
}

TEST_F(LinuxProtectionTest, ServiceProcessesAreGatheredForEachDecision) {
    TestChild child(Sleeper());
    const std::wstring path = WindowsPath(Sleeper().path);
    AddService("session-1.scope", child.Pid());  // not a service
    EXPECT_FALSE(Refused(path, child.Pid()));
    AddService("system-getty.slice/b.service/payload", child.Pid());
    EXPECT_TRUE(Refused(path, child.Pid()));
}

TEST_F(LinuxProtectionTest, TheAgentsOwnRunningHostIsNotEnded) {
    const std::filesystem::path dorn = DORN_EXECUTABLE;
    TempDirectory home;
    TestChild host({dorn.string(),
                    {"serve", "--port", "0", "--token-file", (home.Path() / "token").string()}});
    const ProcessIdentity identity = Identify(host.Pid());
    EXPECT_EQ(identity.name, L"dorn");
    // Asked of the plug-in inside another dorn, as the console asks it.
    const ProcessResult result = RunProcess(
        dorn.string(),
        {"call", "--log-level", "0", "EndProcess", "processId=" + std::to_string(identity.id),
         "createTime=" + std::to_string(identity.createTime), "processName=dorn"});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.out.find(R"("text": "not allowed")"), std::string::npos) << result.out;
    const std::string path(identity.path.begin(), identity.path.end());
    EXPECT_NE(result.err.find("ProcessChecker::IsProcessInBlackList: Black list contains '" + path),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(host.Running());
}

TEST_F(LinuxProtectionTest, EndProcessRefusesAProcessThatReusedTheId) {
    auto first = std::make_unique<TestChild>(Sleeper());
    const ProcessIdentity listed = Identify(first->Pid());
    // Creation times are the boot time, read once, plus the start in 10 ms ticks: 1100 ms
    // later on the monotonic clock, the whole seconds differ for certain.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    first.reset();
    TestChild second(Sleeper(), {std::nullopt, listed.id});
    if (second.Pid() != listed.id) GTEST_SKIP() << "cannot create a process with a chosen id here";
    ExpectEndRefused(EndRequest(listed), {L"creation time not matched."}, &second);
}

}  // namespace
}  // namespace dorn::test
