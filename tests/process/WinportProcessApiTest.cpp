// The process, token, system-information, path and service calls of the Linux Windows-API
// layer, against this machine and trees made by the tests.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>
#include <ntstatus.h>
#include <winternl.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "plugin/UniqueHandle.h"
#include "tests/process/ProcessTestSupport.h"

namespace dorn::test {
namespace {

constexpr DWORD kQueryLimited = PROCESS_QUERY_LIMITED_INFORMATION;
constexpr uid_t kNobody = 65534;

uint64_t CreationOf(HANDLE process) {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(process, &creation, &exit, &kernel, &user));
    return (uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

std::vector<unsigned char> QueryTable(ULONG informationClass, ULONG& returned) {
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(informationClass),
                                       nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    std::vector<unsigned char> buffer(needed + 16384);
    EXPECT_EQ(NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(informationClass),
                                       buffer.data(), static_cast<ULONG>(buffer.size()), &returned),
              STATUS_SUCCESS);
    return buffer;
}

const SYSTEM_PROCESS_INFORMATION* FindRecord(const std::vector<unsigned char>& table, DWORD pid) {
    size_t offset = 0;
    while (true) {
        auto record = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(table.data() + offset);
        if (reinterpret_cast<uintptr_t>(record->UniqueProcessId) == pid) return record;
        if (record->NextEntryOffset == 0) return nullptr;
        offset += record->NextEntryOffset;
    }
}

TEST(WinportProcesses, OpenProcessChecksIdsAndRights) {
    const size_t handles = winport::testing::OpenHandleCount();
    for (DWORD bad : {0u, 5000000u, 0xFFFFFFFFu}) {
        SetLastError(0);
        EXPECT_EQ(OpenProcess(kQueryLimited, FALSE, bad), nullptr) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
    }
    TestChild child(SleepProgram(), {"30"}, kNobody);
    {
        // A thread's id is not a process id.
        std::thread worker([&] {
            const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
            EXPECT_EQ(OpenProcess(kQueryLimited, FALSE, static_cast<DWORD>(tid)), nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        });
        worker.join();
    }
    UniqueKernelHandle all(OpenProcess(PROCESS_ALL_ACCESS, FALSE, child.Pid()));
    EXPECT_TRUE(all);
    // Without the capability to inspect other accounts' processes only the limited query right
    // is granted; without the one to signal them, no termination.
    RunWithoutCapability(CAP_SYS_PTRACE, [&] {
        UniqueKernelHandle limited(OpenProcess(kQueryLimited, FALSE, child.Pid()));
        EXPECT_TRUE(limited);
        EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.Pid()),
                  nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        HANDLE token = nullptr;
        EXPECT_FALSE(OpenProcessToken(limited.get(), TOKEN_QUERY, &token));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    RunWithoutCapability(CAP_KILL, [&] {
        EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, child.Pid()), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    // Rights a handle lacks are refused by the calls that need them.
    UniqueKernelHandle terminateOnly(OpenProcess(PROCESS_TERMINATE, FALSE, child.Pid()));
    ASSERT_TRUE(terminateOnly);
    FILETIME times[4];
    EXPECT_FALSE(GetProcessTimes(terminateOnly.get(), &times[0], &times[1], &times[2], &times[3]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    UniqueKernelHandle queryOnly(OpenProcess(kQueryLimited, FALSE, child.Pid()));
    EXPECT_FALSE(TerminateProcess(queryOnly.get(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(child.Running());
    all.reset();
    terminateOnly.reset();
    queryOnly.reset();
    EXPECT_EQ(winport::testing::OpenHandleCount(), handles);
}

TEST(WinportProcesses, HandlesAreClosedOnceAndByTheirOwnCall) {
    HANDLE process = OpenProcess(kQueryLimited, FALSE, getpid());
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(process) % 4, 0u);
    EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(process)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_FALSE(CloseHandle(process));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // the pseudo handle: nothing to close
    FILETIME times[4];
    EXPECT_FALSE(GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinportProcesses, TimesAndImageNameOfAProcess) {
    TestChild child(SleepProgram());
    UniqueKernelHandle process(OpenProcess(kQueryLimited, FALSE, child.Pid()));
    ASSERT_TRUE(process);
    FILETIME creation, exit, kernel, user;
    ASSERT_TRUE(GetProcessTimes(process.get(), &creation, &exit, &kernel, &user));
    EXPECT_EQ(exit.dwLowDateTime | exit.dwHighDateTime, 0u);  // still running
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t created = CreationOf(process.get());
    const uint64_t current = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    EXPECT_LE(created, current);
    EXPECT_GT(created, current - 60 * 10000000ull);

    // The same creation time as the process table's.
    ULONG returned = 0;
    std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
    const SYSTEM_PROCESS_INFORMATION* record = FindRecord(table, child.Pid());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(static_cast<uint64_t>(record->CreateTime.QuadPart), created);
    EXPECT_EQ(std::wstring(record->ImageName.Buffer), L"sleep");
    EXPECT_EQ(record->ImageName.Length, 5 * sizeof(WCHAR));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(record->InheritedFromUniqueProcessId),
              static_cast<uintptr_t>(getpid()));

    const std::wstring path = ToZPath(SleepProgram());
    std::vector<WCHAR> buffer(path.size() + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size));
    EXPECT_EQ(size, path.size());
    EXPECT_EQ(std::wstring(buffer.data()), path);
    size = static_cast<DWORD>(path.size());  // no room for the NUL
    EXPECT_FALSE(QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WCHAR native[MAX_PATH];
    size = MAX_PATH;
    ASSERT_TRUE(QueryFullProcessImageNameW(process.get(), PROCESS_NAME_NATIVE, native, &size));
    EXPECT_EQ(std::wstring(native), L"\\??\\" + path);

    // An ended process keeps its creation time and reports an exit time.
    child.Kill();
    EXPECT_EQ(CreationOf(process.get()), created);
    ASSERT_TRUE(GetProcessTimes(process.get(), &creation, &exit, &kernel, &user));
    EXPECT_NE(exit.dwLowDateTime | exit.dwHighDateTime, 0u);
}

TEST(WinportProcesses, TerminationGoesThroughThePinnedProcessOnly) {
    auto first = std::make_unique<TestChild>(SleepProgram());
    const pid_t pid = first->Pid();
    UniqueKernelHandle terminate(OpenProcess(PROCESS_TERMINATE | kQueryLimited, FALSE, pid));
    ASSERT_TRUE(terminate);
    const uint64_t created = CreationOf(terminate.get());
    first.reset();  // killed and reaped: the id is free
    TestChild second(SleepProgram(), {"30"}, std::nullopt, pid);
    if (second.Pid() != pid) GTEST_SKIP() << "cannot create a process with a chosen id here";
    // The old handle still names the ended process, never the one that took its id.
    EXPECT_EQ(CreationOf(terminate.get()), created);
    EXPECT_FALSE(TerminateProcess(terminate.get(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(second.Running());

    UniqueKernelHandle current(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    ASSERT_TRUE(current);
    EXPECT_TRUE(TerminateProcess(current.get(), 0));
    EXPECT_TRUE(second.WaitEnded(5000).has_value());
}

TEST(WinportProcesses, CriticalAndProtectedProcesses) {
    UniqueKernelHandle init(OpenProcess(kQueryLimited, FALSE, 1));
    ASSERT_TRUE(init);
    BOOL critical = FALSE;
    ASSERT_TRUE(IsProcessCritical(init.get(), &critical));
    EXPECT_TRUE(critical);
    ASSERT_TRUE(IsProcessCritical(GetCurrentProcess(), &critical));
    EXPECT_FALSE(critical);

    PROCESS_EXTENDED_BASIC_INFORMATION extended{};
    extended.Size = sizeof extended;
    ULONG returned = 0;
    ASSERT_EQ(NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &extended,
                                        sizeof extended, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof extended);
    EXPECT_EQ(extended.Flags & 0x81u, 0u);
    EXPECT_EQ(extended.BasicInfo.UniqueProcessId, static_cast<ULONG_PTR>(getpid()));
    EXPECT_EQ(extended.BasicInfo.InheritedFromUniqueProcessId, static_cast<ULONG_PTR>(getppid()));
    extended.Size = 48;
    EXPECT_EQ(NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &extended,
                                        sizeof extended, nullptr),
              STATUS_INFO_LENGTH_MISMATCH);
    PROCESS_BASIC_INFORMATION basic{};
    EXPECT_EQ(NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic,
                                        sizeof basic, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(basic.UniqueProcessId, static_cast<ULONG_PTR>(getpid()));

    UniqueKernelHandle kthread(OpenProcess(kQueryLimited, FALSE, 2));
    std::ifstream stat("/proc/2/stat");
    std::string comm;
    stat >> comm >> comm;
    if (!kthread || comm != "(kthreadd)") GTEST_SKIP() << "no kernel thread 2 here";
    extended = {};
    extended.Size = sizeof extended;
    ASSERT_EQ(NtQueryInformationProcess(kthread.get(), ProcessBasicInformation, &extended,
                                        sizeof extended, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(extended.Flags & 1u, 1u);
    WCHAR path[MAX_PATH];
    DWORD size = MAX_PATH;
    EXPECT_FALSE(QueryFullProcessImageNameW(kthread.get(), 0, path, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 2), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(WinportProcesses, TokensAndAccounts) {
    UniqueKernelHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, sizeof(TOKEN_USER) + 16);
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(GetTokenInformation(token.get(), TokenUser, buffer.data(), needed - 1, &needed));
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed));
    auto* sid = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    ASSERT_GE(sid, buffer.data());
    ASSERT_LE(sid + 16, buffer.data() + buffer.size());
    const BYTE header[8] = {1, 2, 0, 0, 0, 0, 0, 22};  // S-1-22-...
    EXPECT_EQ(std::memcmp(sid, header, 8), 0);
    DWORD sub[2];
    std::memcpy(sub, sid + 8, sizeof sub);
    EXPECT_EQ(sub[0], 1u);
    EXPECT_EQ(sub[1], geteuid());

    WCHAR name[256], domain[256];
    DWORD nameSize = 2, domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    const std::wstring account = CurrentUserName();
    EXPECT_FALSE(LookupAccountSidW(nullptr, const_cast<BYTE*>(sid), name, &nameSize, domain,
                                   &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(nameSize, account.size() + 1);
    ASSERT_TRUE(LookupAccountSidW(nullptr, const_cast<BYTE*>(sid), name, &nameSize, domain,
                                  &domainSize, &use));
    EXPECT_EQ(std::wstring(name), account);
    EXPECT_EQ(nameSize, account.size());
    EXPECT_EQ(domainSize, std::wcslen(domain));
    EXPECT_EQ(use, SidTypeUser);

    BYTE unknown[16];
    std::memcpy(unknown, sid, 16);
    const DWORD nobodyKnows = 3999999;
    std::memcpy(unknown + 12, &nobodyKnows, 4);
    nameSize = domainSize = 256;
    EXPECT_FALSE(LookupAccountSidW(nullptr, unknown, name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_FALSE(LookupAccountSidW(L"\\\\elsewhere", const_cast<BYTE*>(sid), name, &nameSize,
                                   domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST(WinportSystemInformation, TablesAndTheirSizeProtocol) {
    ULONG needed = 0;
    ASSERT_EQ(NtQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_GE(needed, sizeof(SYSTEM_PROCESS_INFORMATION));
    EXPECT_EQ(
        NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(3), nullptr, 0, &needed),
        static_cast<NTSTATUS>(0xC0000003));

    ULONG returned = 0;
    std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
    EXPECT_EQ(FindRecord(table, 0), nullptr);
    const SYSTEM_PROCESS_INFORMATION* self = FindRecord(table, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_GT(self->PrivatePageCount, 0u);
    EXPECT_GT(self->ReadTransferCount.QuadPart, 0);
    EXPECT_EQ(self->NumberOfThreads, 0u);
    const auto* name = reinterpret_cast<const unsigned char*>(self->ImageName.Buffer);
    EXPECT_GT(name, reinterpret_cast<const unsigned char*>(self));
    EXPECT_LT(name, table.data() + returned);

    std::vector<unsigned char> processors =
        QueryTable(SystemProcessorPerformanceInformation, returned);
    ASSERT_EQ(returned % sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION), 0u);
    EXPECT_EQ(returned / sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION),
              static_cast<ULONG>(sysconf(_SC_NPROCESSORS_ONLN)));
    auto* first = reinterpret_cast<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION*>(processors.data());
    EXPECT_GT(first->IdleTime.QuadPart, 0);
    EXPECT_GE(first->KernelTime.QuadPart, first->IdleTime.QuadPart);
    EXPECT_EQ(NtQuerySystemInformation(SystemProcessorPerformanceInformation, processors.data(),
                                       returned - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, returned);

    MEMORYSTATUSEX memory{};
    EXPECT_FALSE(GlobalMemoryStatusEx(&memory));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    EXPECT_LE(memory.dwMemoryLoad, 100u);
    EXPECT_GT(memory.ullTotalPhys, memory.ullAvailPhys);
    EXPECT_EQ(memory.ullTotalPhys % 1024, 0u);
    EXPECT_GE(memory.ullTotalPageFile, memory.ullTotalPhys);
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t totalKb = 0;
    meminfo >> key >> totalKb;
    EXPECT_EQ(memory.ullTotalPhys, totalKb * 1024);
}

TEST(WinportPaths, SystemDirectoryAndFullPaths) {
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 12u);
    EXPECT_EQ(GetSystemDirectoryW(buffer, 11), 12u);
    EXPECT_EQ(GetSystemDirectoryW(buffer, 12), 11u);
    EXPECT_EQ(std::wstring(buffer), L"Z:\\usr\\sbin");

    const std::wstring cwd = ToZPath(std::filesystem::current_path().string());
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"Z:\\a\\b\\..\\c", L"Z:\\a\\c"},
        {L"z:/a//b/./c/", L"z:\\a\\b\\c\\"},
        {L"Z:\\..\\..", L"Z:\\"},
        {L"C:\\x\\..\\..\\y", L"C:\\y"},
        {L"\\\\server\\share\\a\\..\\..\\b", L"\\\\server\\share\\b"},
        {L"\\\\?\\Z:\\a\\..\\b", L"\\\\?\\Z:\\a\\..\\b"},
        {L"\\\\.\\pipe\\x\\.\\y", L"\\\\.\\pipe\\x\\y"},
        {L"relative\\x", cwd + L"\\relative\\x"},
        {L"..", cwd.substr(0, cwd.rfind(L'\\'))},
        {L"\\rooted", L"Z:\\rooted"},
        {L"Z:drive-relative", cwd + L"\\drive-relative"},
        {L"C:drive-relative", L"C:\\drive-relative"},
        {L"Z:\\a\\name. . ", L"Z:\\a\\name"},
    };
    for (const auto& [given, expected] : cases) {
        const DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
        EXPECT_EQ(needed, expected.size() + 1) << std::string(given.begin(), given.end());
        std::vector<WCHAR> out(needed);
        LPWSTR filePart = nullptr;
        EXPECT_EQ(GetFullPathNameW(given.c_str(), needed - 1, out.data(), &filePart), needed);
        ASSERT_EQ(GetFullPathNameW(given.c_str(), needed, out.data(), &filePart), needed - 1);
        EXPECT_EQ(std::wstring(out.data()), expected) << std::string(given.begin(), given.end());
        if (expected.back() == L'\\') {
            EXPECT_EQ(filePart, nullptr);
        } else {
            ASSERT_NE(filePart, nullptr);
            EXPECT_EQ(std::wstring(filePart), expected.substr(expected.rfind(L'\\') + 1));
        }
    }
    EXPECT_EQ(GetFullPathNameW(L"", MAX_PATH, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(WinportServices, ServiceManagerOverACgroupTree) {
    TempDir root;
    TestChild web(SleepProgram());
    TestChild getty(SleepProgram());
    auto write = [&](const std::string& relative, const std::string& pids) {
        MakeDirectories(root.Path() + "/" + relative);
        WriteTextFile(root.Path() + "/" + relative + "/cgroup.procs", pids);
    };
    write("Web.service", std::to_string(web.Pid()) + "\n");
    write("Web.service/worker", std::to_string(getty.Pid() + 100000) + "\n");
    write("system-getty.slice/getty@tty1.service", std::to_string(getty.Pid()) + "\n");
    write("idle.service", "");
    write("user.scope", "1\n");
    winport::testing::SetServiceRoot(root.Path());
    const size_t handles = winport::testing::OpenHandleCount();
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        ASSERT_TRUE(manager);
        // One entry per call: the resume handle walks the list.
        std::vector<std::wstring> names;
        DWORD resume = 0;
        for (int call = 0; call < 5; ++call) {
            DWORD needed = 0, returned = 0;
            BOOL done = EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                              SERVICE_ACTIVE, nullptr, 0, &needed, &returned,
                                              &resume, nullptr);
            if (done) break;
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
            std::vector<BYTE> buffer(needed);
            // Room for one entry with 30 characters of names.
            const DWORD one = sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 30 * sizeof(WCHAR);
            done = EnumServicesStatusExW(
                manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
                std::min<DWORD>(one, needed), &needed, &returned, &resume, nullptr);
            ASSERT_EQ(returned, 1u);
            auto* entry = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
            names.push_back(entry->lpServiceName);
            EXPECT_EQ(entry->ServiceStatusProcess.dwCurrentState,
                      static_cast<DWORD>(SERVICE_RUNNING));
            if (done) {
                EXPECT_EQ(resume, 0u);
                break;
            }
        }
        EXPECT_EQ(names, (std::vector<std::wstring>{L"getty@tty1", L"Web"}));

        DWORD needed = 0, returned = 0;
        std::vector<BYTE> buffer(4096);
        ASSERT_TRUE(EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                          SERVICE_INACTIVE, buffer.data(), 4096, &needed, &returned,
                                          nullptr, nullptr));
        ASSERT_EQ(returned, 1u);
        auto* idle = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        EXPECT_EQ(std::wstring(idle->lpServiceName), L"idle");
        EXPECT_EQ(std::wstring(idle->lpDisplayName), L"idle.service");
        EXPECT_EQ(idle->ServiceStatusProcess.dwProcessId, 0u);

        UniqueServiceHandle service(
            OpenServiceW(manager.get(), L"web.SERVICE", SERVICE_QUERY_STATUS));
        ASSERT_TRUE(service);
        SERVICE_STATUS_PROCESS status{};
        EXPECT_FALSE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<LPBYTE>(&status), 35, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(needed, 36u);
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), 36, &needed));
        // The lowest pid of the unit's subtree.
        EXPECT_EQ(status.dwProcessId, static_cast<DWORD>(web.Pid()));
        EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(OpenServiceW(manager.get(), L"user", SERVICE_QUERY_STATUS), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(service.get())));
    }
    EXPECT_EQ(winport::testing::OpenHandleCount(), handles);
    EXPECT_EQ(OpenSCManagerW(L"\\\\elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(OpenSCManagerW(nullptr, L"ServicesFailed", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));

    winport::testing::SetServiceRoot("");
    if (!std::filesystem::is_directory("/run/systemd/system")) {
        EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    }
}

}  // namespace
}  // namespace dorn::test
