// The protection list on this machine: system and agent executables, service processes, how
// each of its sources fails, and decisions from many threads.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cwctype>
#include <thread>

#include "ProtectionFixture.h"
#include "FaultInjection.h"

namespace dorn::test {
namespace {

const std::wstring kDecision = L"ProcessChecker::IsProcessInBlackList: ";
const std::wstring kSystemPath = L"ProcessChecker::AddCriticalSystemProcess: System path: ";

std::wstring SystemDirectory() {
    WCHAR directory[MAX_PATH];
    return std::wstring(directory, GetSystemDirectoryW(directory, MAX_PATH));
}

// The agent's executables in the host's directory: named as on Windows, installed on Linux
// without the Windows suffix.
struct AgentExecutable {
    const wchar_t* onWindows;
    const wchar_t* onLinux;
};
const AgentExecutable kAgentExecutables[] = {
    {L"dorn.exe", L"dorn"}, {L"sarn.exe", L"sarn"}, {L"dorn_jms.exe", L"dorn_jms"}};

std::wstring AgentName(const AgentExecutable& agent) {
    return HasLinuxApiLayer() ? agent.onLinux : agent.onWindows;
}
std::wstring OtherPlatformsName(const AgentExecutable& agent) {
    return HasLinuxApiLayer() ? agent.onWindows : agent.onLinux;
}

using ProcessCheckerTest = ProtectionTest;

TEST_F(ProcessCheckerTest, SystemAndAgentExecutablesAreRefusedWhateverTheCaseAndForm) {
    LogCapture log;
    TestChild child(Sleeper());
    const std::wstring system = SystemDirectory();
    const std::wstring leaf = system.substr(system.rfind(L'\\') + 1);
    const std::wstring host = WindowsPath(OwnExecutable().parent_path());
    std::vector<std::pair<std::wstring, bool>> cases = {
        {system + L"\\csrss.exe", true},
        {system + L"\\CSRSS.EXE", true},
        {system + L"\\..\\" + leaf + L"\\LsAsS.exe", true},
        {system + L"/winlogon.exe", true},
        {system + L"\\.\\wininit.exe", true},
        {system + L"\\smss.exe", true},
        {system + L"\\services.exe", false},
        {system + L"\\csrss", false},
        {host + L"\\csrss.exe", false},
        {host + L"\\" + AgentName(kAgentExecutables[0]) + L"x", false},
        {WindowsPath(Sleeper().path), false},
    };
    for (const AgentExecutable& agent : kAgentExecutables) {
        std::wstring upper = AgentName(agent);
        for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
        cases.push_back({host + L"\\" + AgentName(agent), true});
        cases.push_back({host + L"\\" + upper, true});
        cases.push_back({host + L"\\elsewhere\\" + AgentName(agent), false});  // a copy
        cases.push_back({host + L"\\" + OtherPlatformsName(agent), false});
        cases.push_back({system + L"\\" + AgentName(agent), false});
    }
    for (const auto& [path, refused] : cases) {
        EXPECT_EQ(Refused(path, child.Pid()), refused) << path;
        EXPECT_TRUE(log.Has(0, kDecision + L"Checking black list for '" + path + L"'")) << path;
        EXPECT_TRUE(
            log.Has(0, refused ? kDecision + L"Black list contains '" + path + L"'"
                               : kDecision + L"Process '" + path + L"' is not in the black list"))
            << path;
    }
    EXPECT_EQ(log.Count(0, kSystemPath + system), 1u);  // built once
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::AddProcessToBlackList: Adding '" + system +
                               L"\\csrss.exe' to black list"));
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::AddProcessToBlackList: Adding '" + host + L"\\" +
                               AgentName(kAgentExecutables[2]) + L"' to black list"));
}

TEST_F(ProcessCheckerTest, ProcessesOfActiveServicesAreRefused) {
    LogCapture log;
    const std::vector<DWORD> services = ServiceProcessIds();
    ASSERT_FALSE(services.empty());  // Linux: the fixture's service; Windows: the system's
    for (DWORD pid : services) {
        const std::wstring id = std::to_wstring(pid);
        EXPECT_TRUE(Refused(Identify(pid).path, pid)) << pid;
        EXPECT_TRUE(log.Has(0, kDecision + L"Service list contains '" + id + L"'"));
        EXPECT_TRUE(log.Has(0, L"ProcessChecker::ExtractServiceToCustomizedSet: Adding process " +
                                   id + L" to black list"));
    }
    TestChild plain(Sleeper());
    EXPECT_FALSE(Refused(WindowsPath(Sleeper().path), plain.Pid()));
}

TEST_F(ProcessCheckerTest, DecisionsFromManyThreadsAreSerialized) {
    LogCapture log;
    TestChild plain(Sleeper());
    const DWORD service = ServiceProcessIds().at(0);
    const std::wstring servicePath = Identify(service).path;
    const std::wstring path = WindowsPath(Sleeper().path);
    const std::wstring csrss = SystemDirectory() + L"\\CSRSS.exe";
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                wrong += Refused(path, plain.Pid()) ? 1 : 0;
                wrong += Refused(servicePath, service) ? 0 : 1;
                wrong += Refused(csrss, plain.Pid()) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log.Count(0, kSystemPath + SystemDirectory()), 1u);
}

TEST_F(ProcessCheckerTest, EachSourceThatFails) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    const DWORD service = ServiceProcessIds().at(0);
    const std::wstring path = WindowsPath(Sleeper().path);
    const std::wstring csrss = SystemDirectory() + L"\\csrss.exe";
    const std::wstring kernel32 = L"CriticalProcessChecker::LoadKernel32Function: Failed to load ";
    const std::wstring ntdll = L"CriticalProcessChecker::LoadNtdllFunction: Failed to load ";
    const std::wstring full = L"ProcessChecker::GetNormalizedLowerCasePath: Failed to get full ";
    const std::wstring service1 =
        L"ServiceConfigExtractor::ExtractServiceStatusProcess: Failed to ";
    const std::wstring enumerate = L"ServiceEnumerator::";
    const std::wstring critical = kDecision + L"Failed to check if '" + path + L"' is critical";
    const std::wstring unprotected = kDecision + L"Failed to check if '" + path + L"' is protected";
    struct Case {
        const char* api;
        DWORD code;
        unsigned skip;
        bool refused;       // a service's process: refused unless the service walk fails
        std::wstring line;  // level 4; ending in "error: ", the start of a line
        std::wstring then = L"";
    };
    const Case cases[] = {
        // A list that cannot be built refuses, and so does a path that cannot be normalized; an
        // entry that cannot be is left out.
        {"GetSystemDirectoryW", ERROR_ACCESS_DENIED, 0, true,
         L"ProcessChecker::AddCriticalSystemProcess: Failed to query system path, error: 5",
         L"ProcessChecker::InitBlackList: Failed to add system critical process"},
        {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, 0, true,
         L"ProcessChecker::AddPallidoProcessesToBlackList: Failed to query current process image "
         L"path: 8",
         L"ProcessChecker::InitBlackList: Failed to add pallido process"},
        {"GetFullPathNameW", ERROR_INVALID_NAME, 0, true,
         full + L"path size for '" + path + L"', error: 123"},
        {"GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE, 1, true,
         full + L"path for '" + path + L"', error: 206"},
        {"GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE, 2, true,
         full + L"path size for '" + csrss + L"', error: 206"},
        // A critical or protected test that cannot be made is passed over.
        {"IsProcessCritical", ERROR_INVALID_HANDLE, 0, true,
         L"CriticalProcessChecker::IsProcessCritical: Failed to call IsProcessCritical, error: 6",
         critical},
        {"GetModuleHandleW", ERROR_MOD_NOT_FOUND, 0, true, kernel32 + L"kernel32, error: 126",
         critical},
        {"GetProcAddress", ERROR_ACCESS_DENIED, 0, true, kernel32 + L"IsProcessCritical, error: 5",
         critical},
        {"NtQueryInformationProcess", 0xC0000022, 0, true,
         L"CriticalProcessChecker::IsProcessProtected: Failed to query extended process info, "
         L"error: ",
         unprotected},
        {"GetModuleHandleW", ERROR_MOD_NOT_FOUND, 1, true, ntdll + L"Ntdll, error: 126",
         unprotected},
        {"GetProcAddress", ERROR_ACCESS_DENIED, 1, true,
         ntdll + L"NtQueryInformationProcess, error: 5", unprotected},
        // A service walk that fails leaves the other tests.
        {"OpenSCManagerW", ERROR_ACCESS_DENIED, 0, false,
         enumerate + L"EnumerateServices: Failed to open service manager, error: 5"},
        {"EnumServicesStatusExW", ERROR_INVALID_HANDLE, 0, false,
         enumerate + L"GetEnumBufferSize: EnumServicesStatusEx: failed to get needed buffer "
                     L"size, error: 6"},
        {"EnumServicesStatusExW", ERROR_INVALID_HANDLE, 1, false,
         enumerate + L"EnumService: EnumServicesStatusEx: failed to query service, error: 6"},
        {"OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST, 0, false,
         service1 + L"open service 'sleeper', error: 1060"},
        {"QueryServiceStatusEx", ERROR_ACCESS_DENIED, 0, false,
         service1 + L"query status of service 'sleeper', error: 5"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ProcessChecker::ResetForTesting();
        const std::optional<size_t> handles = OpenHandleCount();
        FailCall(c.api, c.code, c.skip);
        EXPECT_EQ(Refused(path, service), c.refused) << c.line;
        ForgetInjectedFaults();
        EXPECT_EQ(OpenHandleCount(), handles) << c.line << ": a handle leaked";
        EXPECT_TRUE(c.line.ends_with(L"error: ") ? log.HasLineStartingWith(4, c.line)
                                                 : log.Has(4, c.line))
            << c.line;
        EXPECT_TRUE(c.then.empty() || log.Has(4, c.then)) << c.then;
    }
}

TEST_F(ProcessCheckerTest, ListIsBuiltOnceAndKept) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    LogCapture log;
    const std::wstring path = WindowsPath(Sleeper().path);
    const std::wstring system = SystemDirectory();
    const DWORD self = GetCurrentProcessId();
    FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Refused(path, self));
    // An entry that cannot be normalized is left out; the rest of the list stands.
    FailCall("GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE, 2);
    EXPECT_FALSE(Refused(path, self));
    EXPECT_FALSE(Refused(system + L"\\csrss.exe", self));
    // Later failures of its sources do not matter: it is not built again.
    FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED, 0, 0);
    EXPECT_TRUE(Refused(system + L"\\smss.exe", self));
    ForgetInjectedFaults();
    EXPECT_EQ(log.Count(0, kSystemPath + system), 1u);
}

}  // namespace
}  // namespace dorn::test
