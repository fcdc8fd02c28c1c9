// The protection list: critical and protected processes, system and agent executables,
// service processes, how each source fails, and decisions from many threads.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>

#include <filesystem>
#include <thread>

#include "plugin/UniqueHandle.h"
#include "process/ProcessChecker.h"
#include "process/ServiceEnumerator.h"
#include "tests/process/ProtectionFixture.h"

namespace dorn::test {
namespace {

const wchar_t* const kDecision = L"ProcessChecker::IsProcessInBlackList: ";

UniqueKernelHandle Query(DWORD pid) {
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    EXPECT_TRUE(process) << "pid " << pid << " error " << GetLastError();
    return process;
}

bool Refused(const std::wstring& path, DWORD pid) {
    UniqueKernelHandle process = Query(pid);
    return ProcessChecker::IsProcessInBlackList(path, process.get(), pid);
}

bool IsKernelThread(pid_t pid) {
    FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return false;
    char line[1024] = {};
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    const char* close = read ? strrchr(line, ')') : nullptr;
    unsigned flags = 0;
    return close != nullptr && sscanf(close + 1, " %*c %*d %*d %*d %*d %*d %u", &flags) == 1 &&
           (flags & 0x00200000);
}

using ProcessCheckerTest = ProtectionTest;

TEST_F(ProcessCheckerTest, CriticalAndProtectedProcessesAreRefused) {
    LogCapture log;
    EXPECT_TRUE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_TRUE(log.Has(1, std::wstring(kDecision) + L"'Z:\\sbin\\init' is a critical process"));
    if (IsKernelThread(2)) {
        EXPECT_TRUE(Refused(L"Z:\\kthreadd", 2));
        EXPECT_TRUE(log.Has(0, std::wstring(kDecision) + L"'Z:\\kthreadd' is a protected process"));
    }
    TestChild child(SleepProgram());
    const std::wstring path = ToZPath(SleepProgram());
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(0, std::wstring(kDecision) + L"Checking black list for '" + path + L"'"));
    EXPECT_TRUE(
        log.Has(0, std::wstring(kDecision) + L"Process '" + path + L"' is not in the black list"));
}

TEST_F(ProcessCheckerTest, SystemExecutablesAreRefusedWhateverTheCaseAndForm) {
    LogCapture log;
    TestChild child(SleepProgram());
    const std::wstring dir = SystemDirectory();
    for (const std::wstring& path :
         {dir + L"\\csrss.exe", dir + L"\\CSRSS.EXE", dir + L"\\..\\system\\LsAsS.exe",
          dir + L"/winlogon.exe", dir + L"\\.\\wininit.exe", dir + L"\\smss.exe"}) {
        EXPECT_TRUE(Refused(path, child.Pid())) << std::string(path.begin(), path.end());
        EXPECT_TRUE(log.Has(0, std::wstring(kDecision) + L"Black list contains '" + path + L"'"));
    }
    EXPECT_FALSE(Refused(dir + L"\\services.exe", child.Pid()));
    EXPECT_EQ(log.Count(0, L"ProcessChecker::AddCriticalSystemProcess: System path: " + dir), 1u);
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::AddProcessToBlackList: Adding '" + dir +
                               L"\\csrss.exe' to black list"));
}

TEST_F(ProcessCheckerTest, AgentExecutablesAreRefusedOnlyInTheHostsDirectory) {
    LogCapture log;
    TestChild child(SleepProgram());
    const std::wstring host = ToZPath(std::filesystem::path(OwnExecutable()).parent_path());
    for (const wchar_t* name : {L"dorn.exe", L"SARN.exe", L"dorn_jms.EXE"}) {
        EXPECT_TRUE(Refused(host + L"\\" + name, child.Pid())) << name;
    }
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::AddProcessToBlackList: Adding '" + host +
                               L"\\dorn_jms.exe' to black list"));
    EXPECT_FALSE(Refused(ToZPath(Scratch()) + L"\\dorn.exe", child.Pid()));
}

TEST_F(ProcessCheckerTest, ProcessesOfActiveServicesAreRefused) {
    TestChild service(SleepProgram());
    TestChild nested(SleepProgram());
    TestChild scope(SleepProgram());
    AddService("a.service", std::to_string(service.Pid()) + "\n");
    AddService("system-getty.slice/b.service/payload", std::to_string(nested.Pid()) + "\n");
    AddService("stopped.service", "");
    AddService("session-1.scope", std::to_string(scope.Pid()) + "\n");  // not a service
    LogCapture log;
    const std::wstring path = ToZPath(SleepProgram());
    EXPECT_TRUE(Refused(path, service.Pid()));
    EXPECT_TRUE(log.Has(0, std::wstring(kDecision) + L"Service list contains '" +
                               std::to_wstring(service.Pid()) + L"'"));
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::ExtractServiceToCustomizedSet: Adding process " +
                               std::to_wstring(nested.Pid()) + L" to black list"));
    EXPECT_TRUE(Refused(path, nested.Pid()));
    EXPECT_FALSE(Refused(path, scope.Pid()));

    // The set is gathered afresh for every decision.
    AddService("c.service", std::to_string(scope.Pid()) + "\n");
    EXPECT_TRUE(Refused(path, scope.Pid()));

    std::vector<DWORD> seen;
    ServiceEnumerator enumerator([&seen](const SERVICE_STATUS_PROCESS* status) {
        seen.push_back(status->dwProcessId);
        return true;
    });
    ASSERT_TRUE(enumerator.EnumerateServices());
    EXPECT_EQ(seen, (std::vector<DWORD>{static_cast<DWORD>(service.Pid()),
                                        static_cast<DWORD>(nested.Pid()),
                                        static_cast<DWORD>(scope.Pid())}));
}

TEST_F(ProcessCheckerTest, ListThatCannotBeBuiltRefusesUntilABuildSucceeds) {
    LogCapture log;
    TestChild child(SleepProgram());
    const std::wstring path = ToZPath(SleepProgram());
    winport::testing::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(4,
                        L"ProcessChecker::AddCriticalSystemProcess: Failed to query system "
                        L"path, error: 5"));
    EXPECT_TRUE(
        log.Has(4, L"ProcessChecker::InitBlackList: Failed to add system critical process"));

    winport::testing::FailCall("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(4,
                        L"ProcessChecker::AddPallidoProcessesToBlackList: Failed to query "
                        L"current process image path: 8"));
    EXPECT_TRUE(log.Has(4, L"ProcessChecker::InitBlackList: Failed to add pallido process"));

    EXPECT_FALSE(Refused(path, child.Pid()));
    // Built once: later failures of its sources do not matter, and it is not built again.
    winport::testing::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED, 0, 0);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(Refused(SystemDirectory() + L"\\csrss.exe", child.Pid()));
    EXPECT_EQ(log.Count(0, L"ProcessChecker::AddCriticalSystemProcess: System path: " +
                               SystemDirectory()),
              2u);  // the second attempt, then the successful third one
}

TEST_F(ProcessCheckerTest, PathsThatCannotBeNormalized) {
    LogCapture log;
    TestChild child(SleepProgram());
    const std::wstring path = ToZPath(SleepProgram());
    const std::wstring prefix = L"ProcessChecker::GetNormalizedLowerCasePath: ";
    winport::testing::FailCall("GetFullPathNameW", ERROR_INVALID_NAME);
    EXPECT_TRUE(Refused(path, child.Pid()));
    EXPECT_TRUE(
        log.Has(4, prefix + L"Failed to get full path size for '" + path + L"', error: 123"));
    winport::testing::FailCall("GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE, 1);
    EXPECT_TRUE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(4, prefix + L"Failed to get full path for '" + path + L"', error: 206"));

    // An entry that cannot be normalized is left out; the rest of the list stands.
    const std::wstring csrss = SystemDirectory() + L"\\csrss.exe";
    winport::testing::FailCall("GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE, 2);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(
        log.Has(4, prefix + L"Failed to get full path size for '" + csrss + L"', error: 206"));
    EXPECT_FALSE(Refused(csrss, child.Pid()));
    EXPECT_TRUE(Refused(SystemDirectory() + L"\\smss.exe", child.Pid()));
}

TEST_F(ProcessCheckerTest, CriticalAndProtectedTestsThatCannotBeMadeAreSkipped) {
    LogCapture log;
    TestChild child(SleepProgram());
    const std::wstring path = ToZPath(SleepProgram());
    winport::testing::FailCall("IsProcessCritical", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_EQ(log.Messages().at(0),
              L"CriticalProcessChecker::IsProcessCritical: Failed to call IsProcessCritical, "
              L"error: 6");
    EXPECT_EQ(log.Messages().at(1),
              std::wstring(kDecision) + L"Failed to check if '" + path + L"' is critical");

    log.Clear();
    winport::testing::FailCall("NtQueryInformationProcess", 0xC0000022);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(HasLineStartingWith(log, 4,
                                    L"CriticalProcessChecker::IsProcessProtected: Failed to query "
                                    L"extended process info, error: "));
    EXPECT_TRUE(
        log.Has(4, std::wstring(kDecision) + L"Failed to check if '" + path + L"' is protected"));
}

TEST_F(ProcessCheckerTest, SystemFunctionsAreLookedUpOnceOrUntilFound) {
    LogCapture log;
    const std::wstring loadKernel32 = L"CriticalProcessChecker::LoadKernel32Function: ";
    const std::wstring loadNtdll = L"CriticalProcessChecker::LoadNtdllFunction: ";
    // A system without IsProcessCritical: said once, and nothing is critical.
    winport::testing::FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_EQ(log.Count(0, loadKernel32 + L"IsProcessCritical does not exist on system"), 1u);

    // Other lookup failures leave the function unknown, to be looked up at the next decision.
    ProcessChecker::ResetForTesting();
    winport::testing::FailCall("GetProcAddress", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_TRUE(log.Has(4, loadKernel32 + L"Failed to load IsProcessCritical, error: 5"));
    EXPECT_TRUE(
        log.Has(4, std::wstring(kDecision) + L"Failed to check if 'Z:\\sbin\\init' is critical"));
    EXPECT_TRUE(Refused(L"Z:\\sbin\\init", 1));

    ProcessChecker::ResetForTesting();
    winport::testing::FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(Refused(L"Z:\\sbin\\init", 1));
    EXPECT_TRUE(log.Has(4, loadKernel32 + L"Failed to load kernel32, error: 126"));

    // The protected test runs only for processes that are not critical.
    TestChild child(SleepProgram());
    const std::wstring path = ToZPath(SleepProgram());
    ProcessChecker::ResetForTesting();
    winport::testing::FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND, 1);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(4, loadNtdll + L"Failed to load Ntdll, error: 126"));
    ProcessChecker::ResetForTesting();
    winport::testing::FailCall("GetProcAddress", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(Refused(path, child.Pid()));
    EXPECT_TRUE(log.Has(4, loadNtdll + L"Failed to load NtQueryInformationProcess, error: 5"));

    // Without NtQueryInformationProcess nothing is protected.
    ProcessChecker::ResetForTesting();
    winport::testing::FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND, 1);
    EXPECT_FALSE(Refused(path, child.Pid()));
    if (IsKernelThread(2)) {
        EXPECT_FALSE(Refused(L"Z:\\kthreadd", 2));
    }
    EXPECT_EQ(log.Count(2, loadNtdll + L"NtQueryInformationProcess not exist on system"), 1u);
}

TEST_F(ProcessCheckerTest, ServiceWalkFailuresLeaveTheOtherTests) {
    TestChild service(SleepProgram());
    AddService("a.service", std::to_string(service.Pid()) + "\n");
    const std::wstring path = ToZPath(SleepProgram());
    const size_t handles = winport::testing::OpenHandleCount();
    struct Case {
        const char* api;
        uint32_t code;
        unsigned skip;
        std::wstring line;
    };
    const Case cases[] = {
        {"OpenSCManagerW", ERROR_ACCESS_DENIED, 0,
         L"ServiceEnumerator::EnumerateServices: Failed to open service manager, error: 5"},
        {"EnumServicesStatusExW", ERROR_INVALID_HANDLE, 0,
         L"ServiceEnumerator::GetEnumBufferSize: EnumServicesStatusEx: failed to get needed "
         L"buffer size, error: 6"},
        {"EnumServicesStatusExW", ERROR_INVALID_HANDLE, 1,
         L"ServiceEnumerator::EnumService: EnumServicesStatusEx: failed to query service, error: "
         L"6"},
        {"OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST, 0,
         L"ServiceConfigExtractor::ExtractServiceStatusProcess: Failed to open service 'a', "
         L"error: 1060"},
        {"QueryServiceStatusEx", ERROR_ACCESS_DENIED, 0,
         L"ServiceConfigExtractor::ExtractServiceStatusProcess: Failed to query status of "
         L"service 'a', error: 5"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        winport::testing::FailCall(c.api, c.code, c.skip);
        EXPECT_FALSE(Refused(path, service.Pid())) << c.api;
        winport::testing::ClearFailures();
        EXPECT_TRUE(log.Has(4, c.line)) << c.api;
        EXPECT_EQ(winport::testing::OpenHandleCount(), handles) << c.api << ": a handle leaked";
    }
    EXPECT_TRUE(Refused(path, service.Pid()));
}

TEST_F(ProcessCheckerTest, DecisionsFromManyThreadsAreSerialized) {
    LogCapture log;
    TestChild plain(SleepProgram());
    TestChild service(SleepProgram());
    AddService("a.service", std::to_string(service.Pid()) + "\n");
    const std::wstring path = ToZPath(SleepProgram());
    const std::wstring csrss = SystemDirectory() + L"\\CSRSS.exe";
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                wrong += Refused(path, plain.Pid()) ? 1 : 0;
                wrong += Refused(path, service.Pid()) ? 0 : 1;
                wrong += Refused(csrss, plain.Pid()) ? 0 : 1;
                wrong += Refused(L"Z:\\sbin\\init", 1) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log.Count(0, L"ProcessChecker::AddCriticalSystemProcess: System path: " +
                               SystemDirectory()),
              1u);
}

}  // namespace
}  // namespace dorn::test
