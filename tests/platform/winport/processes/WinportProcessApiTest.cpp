// The process, token, system-information, path and service calls of the Linux Windows-API
// layer, against this machine and trees made by the tests.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>
#include <ntstatus.h>
#include <winternl.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "ProcFs.h"
#include "UniqueHandle.h"
#include "SystemInformationParser.h"
#include "TestProcesses.h"
#include "Waiting.h"

namespace dorn::test {
namespace {

namespace L = ProcessInformationLayout;
// The parser's offsets are the published layout that the layer writes.
static_assert(L::kCreateTime == offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime));
static_assert(L::kUserTime == offsetof(SYSTEM_PROCESS_INFORMATION, UserTime));
static_assert(L::kKernelTime == offsetof(SYSTEM_PROCESS_INFORMATION, KernelTime));
static_assert(L::kImageNameBuffer == offsetof(SYSTEM_PROCESS_INFORMATION, ImageName.Buffer));
static_assert(L::kUniqueProcessId == offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId));
static_assert(L::kSessionId == offsetof(SYSTEM_PROCESS_INFORMATION, SessionId));
static_assert(L::kWorkingSetSize == offsetof(SYSTEM_PROCESS_INFORMATION, WorkingSetSize));
static_assert(L::kPrivatePageCount == offsetof(SYSTEM_PROCESS_INFORMATION, PrivatePageCount));
static_assert(L::kReadTransferCount == offsetof(SYSTEM_PROCESS_INFORMATION, ReadTransferCount));
static_assert(L::kWriteTransferCount == offsetof(SYSTEM_PROCESS_INFORMATION, WriteTransferCount));
static_assert(L::kRecordSize == sizeof(SYSTEM_PROCESS_INFORMATION));
static_assert(ProcessorPerformanceLayout::kRecordSize ==
              sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION));

constexpr DWORD kQueryLimited = PROCESS_QUERY_LIMITED_INFORMATION;
constexpr uint32_t kNobody = 65534;

// Expects `ok` false with `error` as the last error.
void ExpectFailure(bool ok, DWORD error, const char* what) {
    const DWORD last = GetLastError();
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(last, error) << what;
}

uint64_t CreationOf(HANDLE process) {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(process, &creation, &exit, &kernel, &user));
    return (uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

// A process's start in clock ticks since boot, as /proc gives it; 0 when it cannot be read.
uint64_t StartTicks(DWORD pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string field;
    for (int i = 0; i < 20 && fields >> field; ++i) {
    }
    return field.empty() ? 0 : std::stoull(field);
}

// Creation times are whole clock ticks: a process that took over an id within the tick its
// first owner started in would have the same one. Waits until that tick has passed.
void WaitPastTick(uint64_t startTicks) {
    const long perSecond = sysconf(_SC_CLK_TCK);
    EXPECT_TRUE(WaitUntil([&] {
        timespec now{};
        clock_gettime(CLOCK_BOOTTIME, &now);
        const uint64_t ticks =
            uint64_t(now.tv_sec) * perSecond + now.tv_nsec / (1000000000 / perSecond);
        return ticks > startTicks + 1;
    }));
}

std::vector<unsigned char> QueryTable(ULONG informationClass, ULONG& returned) {
    const auto infoClass = static_cast<SYSTEM_INFORMATION_CLASS>(informationClass);
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(infoClass, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    std::vector<unsigned char> buffer(needed + 16384);
    EXPECT_EQ(NtQuerySystemInformation(infoClass, buffer.data(), ULONG(buffer.size()), &returned),
              STATUS_SUCCESS);
    return buffer;
}

const SYSTEM_PROCESS_INFORMATION* FindRecord(const std::vector<unsigned char>& table, DWORD pid) {
    for (size_t offset = 0;;) {
        auto record = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(table.data() + offset);
        if (reinterpret_cast<uintptr_t>(record->UniqueProcessId) == pid) return record;
        if (record->NextEntryOffset == 0) return nullptr;
        offset += record->NextEntryOffset;
    }
}

TEST(WinportProcesses, OpenProcessChecksIdsAndRights) {
    const size_t handles = winport::testing::OpenHandleCount();
    std::thread([] {
        const DWORD tid = static_cast<DWORD>(syscall(SYS_gettid));  // a thread is no process
        for (DWORD bad : {0u, 5000000u, 0xFFFFFFFFu, tid}) {
            ExpectFailure(OpenProcess(kQueryLimited, FALSE, bad), ERROR_INVALID_PARAMETER, "id");
        }
    }).join();
    TestChild child(Sleeper(), {kNobody, std::nullopt});
    UniqueHandle all(OpenProcess(PROCESS_ALL_ACCESS, FALSE, child.Pid()));
    EXPECT_TRUE(all);
    // Without the capability to inspect other accounts' processes only the limited query right
    // is granted; without the one to signal them, no termination.
    RunWithoutCapability(CAP_SYS_PTRACE, [&] {
        UniqueHandle limited(OpenProcess(kQueryLimited, FALSE, child.Pid()));
        EXPECT_TRUE(limited);
        ExpectFailure(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.Pid()),
                      ERROR_ACCESS_DENIED, "query");
        HANDLE token = nullptr;
        ExpectFailure(OpenProcessToken(limited.get(), TOKEN_QUERY, &token), ERROR_ACCESS_DENIED,
                      "token");
    });
    RunWithoutCapability(CAP_KILL, [&] {
        ExpectFailure(OpenProcess(PROCESS_TERMINATE, FALSE, child.Pid()), ERROR_ACCESS_DENIED,
                      "terminate");
    });
    // Rights a handle lacks are refused by the calls that need them.
    UniqueHandle terminateOnly(OpenProcess(PROCESS_TERMINATE, FALSE, child.Pid()));
    FILETIME t[4];
    ExpectFailure(GetProcessTimes(terminateOnly.get(), &t[0], &t[1], &t[2], &t[3]),
                  ERROR_ACCESS_DENIED, "times");
    UniqueHandle queryOnly(OpenProcess(kQueryLimited, FALSE, child.Pid()));
    ExpectFailure(TerminateProcess(queryOnly.get(), 0), ERROR_ACCESS_DENIED, "terminate");
    EXPECT_TRUE(child.Running());
    all.reset();
    terminateOnly.reset();
    queryOnly.reset();
    EXPECT_EQ(winport::testing::OpenHandleCount(), handles);

    // Handles are closed once, and by their own call.
    HANDLE process = OpenProcess(kQueryLimited, FALSE, getpid());
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(process) % 4, 0u);
    ExpectFailure(CloseServiceHandle(SC_HANDLE(process)), ERROR_INVALID_HANDLE, "service close");
    EXPECT_TRUE(CloseHandle(process));
    ExpectFailure(CloseHandle(process), ERROR_INVALID_HANDLE, "second close");
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // the pseudo handle: nothing to close
    ExpectFailure(GetProcessTimes(process, &t[0], &t[1], &t[2], &t[3]), ERROR_INVALID_HANDLE,
                  "closed");
}

TEST(WinportProcesses, TimesAndImageNameOfAProcess) {
    TestChild child(Sleeper());
    UniqueHandle process(OpenProcess(kQueryLimited, FALSE, child.Pid()));
    ASSERT_TRUE(process);
    FILETIME creation, exit, kernel, user, now;
    ASSERT_TRUE(GetProcessTimes(process.get(), &creation, &exit, &kernel, &user));
    EXPECT_EQ(exit.dwLowDateTime | exit.dwHighDateTime, 0u);  // still running
    GetSystemTimeAsFileTime(&now);
    const uint64_t created = CreationOf(process.get());
    const uint64_t current = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    EXPECT_LE(created, current);
    EXPECT_GT(created, current - 60 * 10000000ull);
    ULONG returned = 0;
    const std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
    const SYSTEM_PROCESS_INFORMATION* record = FindRecord(table, child.Pid());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ImageName.Length, 5 * sizeof(WCHAR));  // "sleep"

    const std::wstring path = WindowsPath(Sleeper().path);
    std::vector<WCHAR> buffer(path.size() + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size));
    EXPECT_EQ(std::wstring(buffer.data(), size), path);
    size = static_cast<DWORD>(path.size());  // no room for the NUL
    ExpectFailure(QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size),
                  ERROR_INSUFFICIENT_BUFFER, "short buffer");
}

// As on Windows, an id stays with its process while a handle names it: a process that took the
// id meanwhile is never reached through it, and is only once every such handle is closed.
TEST(WinportProcesses, TerminationGoesThroughThePinnedProcessOnly) {
    auto first = std::make_unique<TestChild>(Sleeper());
    const DWORD pid = first->Pid();
    UniqueHandle terminate(OpenProcess(PROCESS_TERMINATE | kQueryLimited, FALSE, pid));
    ASSERT_TRUE(terminate);
    const uint64_t created = CreationOf(terminate.get());
    const uint64_t startTicks = StartTicks(pid);
    first.reset();  // killed and reaped: the id is free
    WaitPastTick(startTicks);
    TestChild second(Sleeper(), {std::nullopt, pid});
    if (second.Pid() != pid) GTEST_SKIP() << "cannot create a process with a chosen id here";
    // The old handle still names the ended process, never the one that took its id.
    EXPECT_EQ(CreationOf(terminate.get()), created);
    ExpectFailure(TerminateProcess(terminate.get(), 0), ERROR_ACCESS_DENIED, "stale handle");
    UniqueHandle again(OpenProcess(PROCESS_TERMINATE | kQueryLimited, FALSE, pid));
    ASSERT_TRUE(again);
    EXPECT_EQ(CreationOf(again.get()), created);
    ExpectFailure(TerminateProcess(again.get(), 0), ERROR_ACCESS_DENIED, "id still named");
    EXPECT_TRUE(second.Running());
    again.reset();
    terminate.reset();
    UniqueHandle current(OpenProcess(PROCESS_TERMINATE | kQueryLimited, FALSE, pid));
    EXPECT_NE(CreationOf(current.get()), created);
    EXPECT_TRUE(TerminateProcess(current.get(), 0));
    EXPECT_TRUE(second.WaitEnded(5000));
}

// The snapshots keep what cannot change for a process's life by its id and start; an id that
// another process takes over must never lend it the first one's name or creation time.
TEST(WinportProcesses, AnIdTakenOverBetweenSnapshotsNamesTheNewProcess) {
    auto first = std::make_unique<TestChild>(Sleeper());
    const DWORD pid = first->Pid();
    ULONG returned = 0;
    const std::vector<unsigned char> firstTable = QueryTable(SystemProcessInformation, returned);
    const SYSTEM_PROCESS_INFORMATION* record = FindRecord(firstTable, pid);
    ASSERT_NE(record, nullptr);
    const int64_t firstCreated = record->CreateTime.QuadPart;
    const uint64_t startTicks = StartTicks(pid);
    first.reset();
    WaitPastTick(startTicks);
    TestChild second(Spinner(), {std::nullopt, pid});
    if (second.Pid() != pid) GTEST_SKIP() << "cannot create a process with a chosen id here";

    UniqueHandle process(OpenProcess(kQueryLimited, FALSE, pid));
    ASSERT_TRUE(process);
    const std::wstring path = WindowsPath(Spinner().path);
    std::vector<WCHAR> buffer(path.size() + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size));
    EXPECT_EQ(std::wstring(buffer.data(), size), path);
    const uint64_t secondCreated = CreationOf(process.get());
    EXPECT_NE(secondCreated, static_cast<uint64_t>(firstCreated));

    const std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
    record = FindRecord(table, pid);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(static_cast<uint64_t>(record->CreateTime.QuadPart), secondCreated);
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    EXPECT_EQ(std::wstring(record->ImageName.Buffer, record->ImageName.Length / sizeof(WCHAR)),
              name);
}

// Between snapshots a process's memory is read again only when it ran or changed size, and its
// transfers only when it used any processor time: what it takes and writes while it runs shows
// in the next snapshot.
TEST(WinportSystemInformation, MemoryAndTransfersBetweenSnapshotsShowInTheNext) {
    constexpr size_t kGrowth = 64u << 20;
    constexpr size_t kWritten = 4096;
    int request[2];
    int done[2];
    ASSERT_EQ(pipe(request), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // only async-signal-safe calls from here on
        close(request[1]);
        close(done[0]);
        char byte = 0;
        if (read(request[0], &byte, 1) != 1) _exit(1);
        void* memory =
            mmap(nullptr, kGrowth, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) _exit(2);
        memset(memory, 1, kGrowth);
        if (write(done[1], memory, kWritten) != static_cast<ssize_t>(kWritten)) _exit(3);
        while (read(request[0], &byte, 1) != 0) {
        }
        _exit(0);
    }
    auto figures = [child] {
        ULONG returned = 0;
        const std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
        const SYSTEM_PROCESS_INFORMATION* record = FindRecord(table, static_cast<DWORD>(child));
        return record == nullptr
                   ? std::pair<SIZE_T, LONGLONG>{}
                   : std::pair{record->PrivatePageCount, record->WriteTransferCount.QuadPart};
    };
    const auto before = figures();
    EXPECT_EQ(figures(), before);
    char byte = 1;
    ASSERT_EQ(write(request[1], &byte, 1), 1);
    std::vector<char> written(kWritten);
    ASSERT_EQ(read(done[0], written.data(), kWritten), static_cast<ssize_t>(kWritten));
    const auto after = figures();
    EXPECT_GE(after.first, before.first + kGrowth);
    EXPECT_GE(after.second, before.second + static_cast<LONGLONG>(kWritten));
    EXPECT_EQ(figures(), after);
    for (int fd : {request[0], request[1], done[0], done[1]}) close(fd);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// An idle process's figures are taken again only after reclaim took pages from processes: the
// count must move with every kind of reclaim and with nothing else.
TEST(WinportProcFs, ReclaimedPagesAreTheStolenDemotedAndSwappedOutOnes) {
    const std::string vmstat =
        "pgpgout 900\npswpin 800\npswpout 1\npgsteal_kswapd 20\npgsteal_direct 300\n"
        "pgsteal_anon 4000\npgsteal_file 50000\npgdemote_kswapd 600000\npgscan_direct 7\n"
        "drop_pagecache 2\npgsteal_direct x\n";
    EXPECT_EQ(winport::procfs::ParseReclaimedPages(vmstat), 654321u);
    EXPECT_EQ(winport::procfs::ParseReclaimedPages("pgscan_kswapd 5\n"), 0u);
}

TEST(WinportProcesses, OtherAccountsProcessesAreNamedAfterTheirExecutable) {
    // Longer than the 15 bytes the kernel keeps of a command name, in a directory any account
    // may enter.
    TempDirectory directory;
    std::filesystem::permissions(directory.Path(), std::filesystem::perms(0755));
    const auto program = directory.Path() / "a-sleeper-with-a-long-name";
    CopyExecutable(Sleeper().path, program);
    TestChild child({program.string(), Sleeper().arguments}, {kNobody, std::nullopt});
    auto nameOf = [](const std::vector<unsigned char>& table, DWORD pid) {
        const SYSTEM_PROCESS_INFORMATION* record = FindRecord(table, pid);
        return record == nullptr ? std::wstring(L"(not listed)")
                                 : std::wstring(record->ImageName.Buffer,
                                                record->ImageName.Length / sizeof(WCHAR));
    };
    RunWithoutCapability(CAP_SYS_PTRACE, [&] {
        std::error_code error;
        const auto exe =
            std::filesystem::read_symlink("/proc/" + std::to_string(child.Pid()) + "/exe", error);
        EXPECT_TRUE(error) << exe << " is readable: nothing is hidden";
        ULONG returned = 0;
        const std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
        EXPECT_EQ(nameOf(table, child.Pid()), L"a-sleeper-with-a-long-name");
        // Kernel threads have no command line: their command name stands.
        if (IsKernelThread2()) {
            EXPECT_EQ(nameOf(table, 2), L"kthreadd");
        }
    });
}

TEST(WinportProcesses, CommandLineNamesAProcessOnlyWhereItCompletesTheCutCommandName) {
    using namespace std::string_literals;
    struct Case {
        std::string comm;
        uint32_t flags;
        std::string commandLine;
        std::string name;
    };
    const Case cases[] = {
        {"a-sleeper-with-", 0,
         "/t/a-sleeper-with-a-long-name\0"
         "30\0"s,
         "a-sleeper-with-a-long-name"},
        {"a-sleeper-with-", 0, "a-sleeper-with-a-long-name\0"s, "a-sleeper-with-a-long-name"},
        {"a-sleeper-with-", 0, "/t/a-sleeper-with-\0"s, "a-sleeper-with-"},
        {"a-sleeper-with", 0, "/t/a-sleeper-with-a-long-name\0"s, "a-sleeper-with"},  // not cut
        {"a-script-with-a", 0, "/bin/sh\0/t/a-script-with-a-long-name\0"s, "a-script-with-a"},
        {"a-sleeper-with-", 0, "postgres: a-sleeper-with-a-long-name", "a-sleeper-with-"},
        {"a-sleeper-with-", 0, "", "a-sleeper-with-"},  // ended: no command line
        {"kthread-with-a-", 0x00200000, "kthread-with-a-long-name", "kthread-with-a-"},
    };
    for (const Case& c : cases) {
        winport::procfs::StatFields stat;
        stat.comm = c.comm;
        stat.flags = c.flags;
        EXPECT_EQ(winport::procfs::ExecutableFileName(stat, c.commandLine), c.name)
            << c.commandLine;
    }
}

// (Init's criticality and the kernel threads' protection: ProtectionLinuxTest.cpp.)
TEST(WinportProcesses, KernelThreadsHaveNoImageAndCannotBeEnded) {
    if (!IsKernelThread2()) GTEST_SKIP() << "no kernel thread 2 here";
    UniqueHandle kthread(OpenProcess(kQueryLimited, FALSE, 2));
    WCHAR path[MAX_PATH];
    DWORD size = MAX_PATH;
    ExpectFailure(QueryFullProcessImageNameW(kthread.get(), 0, path, &size), ERROR_GEN_FAILURE,
                  "kernel thread image");
    ExpectFailure(OpenProcess(PROCESS_TERMINATE, FALSE, 2), ERROR_ACCESS_DENIED, "kernel thread");
}

TEST(WinportProcesses, TokensAndAccounts) {
    UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    DWORD needed = 0;
    ExpectFailure(GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed),
                  ERROR_INSUFFICIENT_BUFFER, "size");
    EXPECT_EQ(needed, sizeof(TOKEN_USER) + 16);
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(GetTokenInformation(token.get(), TokenUser, buffer.data(), needed - 1, &needed));
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed));
    auto* sid = static_cast<BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    ASSERT_GE(sid, buffer.data());
    ASSERT_LE(sid + 16, buffer.data() + buffer.size());
    const BYTE header[8] = {1, 2, 0, 0, 0, 0, 0, 22};  // S-1-22-1-uid
    EXPECT_EQ(std::memcmp(sid, header, 8), 0);
    DWORD sub[2];
    std::memcpy(sub, sid + 8, sizeof sub);
    EXPECT_EQ(sub[0], 1u);
    EXPECT_EQ(sub[1], geteuid());

    WCHAR name[256], domain[256];
    DWORD nameSize = 2, domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    const std::wstring account = CurrentUserName();
    ExpectFailure(LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use),
                  ERROR_INSUFFICIENT_BUFFER, "short name");
    EXPECT_EQ(nameSize, account.size() + 1);
    ASSERT_TRUE(LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(name, nameSize), account);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::wstring(domain, domainSize), std::wstring(host, host + std::strlen(host)));
    EXPECT_EQ(use, SidTypeUser);
    const DWORD nobodyKnows = 3999999;
    std::memcpy(sid + 12, &nobodyKnows, 4);
    nameSize = domainSize = 256;
    ExpectFailure(LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use),
                  ERROR_NONE_MAPPED, "unknown");
}

TEST(WinportSystemInformation, TablesAndTheirSizeProtocol) {
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(3), nullptr, 0, &needed),
              static_cast<NTSTATUS>(0xC0000003));
    ULONG returned = 0;
    std::vector<unsigned char> table = QueryTable(SystemProcessInformation, returned);
    const SYSTEM_PROCESS_INFORMATION* self = FindRecord(table, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->NumberOfThreads, 0u);

    std::vector<unsigned char> processors =
        QueryTable(SystemProcessorPerformanceInformation, returned);
    EXPECT_EQ(returned, sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION) *
                            static_cast<ULONG>(sysconf(_SC_NPROCESSORS_ONLN)));
    auto* first = reinterpret_cast<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION*>(processors.data());
    EXPECT_GE(first->KernelTime.QuadPart, first->IdleTime.QuadPart);
    EXPECT_EQ(NtQuerySystemInformation(SystemProcessorPerformanceInformation, processors.data(),
                                       returned - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, returned);

    MEMORYSTATUSEX memory{};
    ExpectFailure(GlobalMemoryStatusEx(&memory), ERROR_INVALID_PARAMETER, "no length");
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    EXPECT_GT(memory.ullTotalPhys, memory.ullAvailPhys);
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

    const std::wstring cwd = WindowsPath(std::filesystem::current_path());
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
        EXPECT_EQ(needed, expected.size() + 1) << given;
        std::vector<WCHAR> out(needed);
        LPWSTR filePart = nullptr;
        EXPECT_EQ(GetFullPathNameW(given.c_str(), needed - 1, out.data(), &filePart), needed);
        ASSERT_EQ(GetFullPathNameW(given.c_str(), needed, out.data(), &filePart), needed - 1);
        EXPECT_EQ(std::wstring(out.data()), expected) << given;
        const size_t slash = expected.rfind(L'\\');
        EXPECT_EQ(filePart ? std::wstring(filePart) : L"(none)",
                  slash + 1 == expected.size() ? L"(none)" : expected.substr(slash + 1))
            << given;
    }
    ExpectFailure(GetFullPathNameW(L"", MAX_PATH, buffer, nullptr), ERROR_INVALID_NAME, "empty");
}

}  // namespace
}  // namespace dorn::test
