// Readings of this machine: the process table, processor times and memory load, and how each
// reading and the user lookup fail.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "ProcessSnapshot.h"
#include "ProcessUserName.h"
#include "SystemInformationQuery.h"
#include "FaultInjection.h"
#include "Waiting.h"
#include "LogCapture.h"
#include "TestProcesses.h"

namespace dorn::test {
namespace {

constexpr DWORD kStatusNoMemory = 0xC0000017;
constexpr DWORD kStatusInfoLengthMismatch = 0xC0000004;

class ProcessSnapshotTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetQuerySystemInformationForTesting(); }
    void TearDown() override { ForgetInjectedFaults(); }
};

ProcessKey OwnKey() {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
    return {
        static_cast<int64_t>((uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime),
        GetCurrentProcessId()};
}

const ProcessCounters* Find(const ProcessMap& map, int64_t pid) {
    auto found = std::find_if(map.begin(), map.end(),
                              [pid](const auto& entry) { return entry.first.processId == pid; });
    return found == map.end() ? nullptr : &found->second;
}

TEST_F(ProcessSnapshotTest, ReadsThisMachinesProcesses) {
    TestChild child(Sleeper());
    const int64_t used = BurnOwnProcessorTime(0);
    ProcessMap map;
    ASSERT_TRUE(TakeProcessSnapshot(map));
    ASSERT_NE(Find(map, child.Pid()), nullptr);
    EXPECT_EQ(Find(map, child.Pid())->imageName, ImageName(Sleeper().path));
    const std::wstring system = SystemProcessName();
    ASSERT_FALSE(system.empty());
    EXPECT_TRUE(std::any_of(map.begin(), map.end(), [&](const auto& entry) {
        return entry.second.imageName == system;
    })) << system;
    // Our own entry, keyed by the creation time GetProcessTimes reports, with at least the
    // processor time it reported before the snapshot.
    auto self = map.find(OwnKey());
    ASSERT_NE(self, map.end());
    EXPECT_EQ(self->second.imageName, OwnExecutable().filename().wstring());
    EXPECT_GE(self->second.kernelTime + self->second.userTime, used);
    EXPECT_GT(self->second.workingSetBytes, 0u);
}

TEST_F(ProcessSnapshotTest, ReadsPrivateBytesAndTransfers) {
    if (UnderWine()) GTEST_SKIP() << "Wine reports PrivatePageCount and the transfer counts as 0";
    ProcessMap map;
    ASSERT_TRUE(TakeProcessSnapshot(map));
    const ProcessCounters* self = Find(map, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_GT(self->privateBytes, 0u);
    EXPECT_GT(self->bytesRead, 0);  // it read its own program and libraries at least
}

TEST_F(ProcessSnapshotTest, ProcessorTimesAdvanceWithTheClockAndMemoryLoad) {
    using Clock = std::chrono::steady_clock;
    uint64_t total1 = 0, idle1 = 0, total2 = 0, idle2 = 0;
    const Clock::time_point outerStart = Clock::now();
    ASSERT_TRUE(QueryProcessorTimes(total1, idle1));
    const Clock::time_point innerStart = Clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        const Clock::time_point innerEnd = Clock::now();
        EXPECT_TRUE(QueryProcessorTimes(total2, idle2));
        const Clock::time_point outerEnd = Clock::now();
        // Every processor's time between the readings, which the two clocks bracket, give or
        // take two 10 ms ticks per processor and reading: Wine's readings come from the
        // kernel's ticks, which run a little ahead of its steady clock.
        const double processors = std::thread::hardware_concurrency();
        const double inner = std::chrono::duration<double>(innerEnd - innerStart).count() * 1e7;
        const double outer = std::chrono::duration<double>(outerEnd - outerStart).count() * 1e7;
        const double grown = static_cast<double>(total2 - total1);
        EXPECT_LE(grown, processors * (outer + 4e5));
        // Once 100 ms went by, every processor shows it (one alone could not).
        return inner > 1e6 && grown >= processors * (inner - 2e5);
    }));
    EXPECT_GT(idle1, 0u);
    EXPECT_LE(idle1, total1);
    EXPECT_LE(idle2, total2);

    uint32_t load = 1000;
    ASSERT_TRUE(QueryMemoryLoad(load));
    EXPECT_LE(load, 100u);
}

// Each call the readings make of the query function: information class and buffer length.
std::vector<std::pair<ULONG, ULONG>> g_queries;

// Needs 1000 bytes, then 20000 (more than the buffer has grown), then 5000 (less), then fits:
// one processor with idle 1, kernel 3 and user 4.
LONG NTAPI GrowingProcessorTable(ULONG informationClass, PVOID buffer, ULONG length,
                                 PULONG needed) {
    g_queries.emplace_back(informationClass, length);
    const ULONG needs[] = {1000, 20000, 5000};
    if (g_queries.size() <= 3) {
        *needed = needs[g_queries.size() - 1];
        return static_cast<LONG>(kStatusInfoLengthMismatch);
    }
    const uint64_t record[6] = {1, 3, 4, 0, 0, 0};
    std::memcpy(buffer, record, sizeof record);
    *needed = sizeof record;
    return 0;
}

TEST_F(ProcessSnapshotTest, BufferGrowsToTheLargerOfItsSizeAndTheNeedPlus16384) {
    g_queries.clear();
    UseQuerySystemInformationForTesting(&GrowingProcessorTable);
    uint64_t total = 0, idle = 0;
    EXPECT_TRUE(QueryProcessorTimes(total, idle));
    ResetQuerySystemInformationForTesting();
    const std::vector<std::pair<ULONG, ULONG>> expected = {
        {8, 0}, {8, 1000 + 16384}, {8, 20000 + 16384}, {8, 20000 + 16384 + 16384}};
    EXPECT_EQ(g_queries, expected);
    EXPECT_EQ(total, 7u);
    EXPECT_EQ(idle, 1u);
}

TEST_F(ProcessSnapshotTest, QueryFailuresAreLoggedAndFail) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    LogCapture log;
    ProcessMap map;
    uint64_t total = 5, idle = 5;
    FailCall("NtQuerySystemInformation", kStatusNoMemory);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to query 5, error: -1073741801"));
    FailCall("NtQuerySystemInformation", kStatusNoMemory, 1);
    EXPECT_FALSE(QueryProcessorTimes(total, idle));
    EXPECT_TRUE(log.Has(4, L"Failed to query 8, error: -1073741801"));
    EXPECT_EQ(total + idle, 0u);

    // A table that keeps outgrowing the buffer gives up instead of looping for ever.
    FailCall("NtQuerySystemInformation", kStatusInfoLengthMismatch, 0, 0);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to query 5, error: -1073741820"));
    ForgetInjectedFaults();
    EXPECT_TRUE(map.empty());
    // Two rounds of growth, then the table fits.
    FailCall("NtQuerySystemInformation", kStatusInfoLengthMismatch, 1, 2);
    EXPECT_TRUE(TakeProcessSnapshot(map));
    EXPECT_NE(Find(map, GetCurrentProcessId()), nullptr);

    FailCall("GlobalMemoryStatusEx", ERROR_ACCESS_DENIED);
    uint32_t load = 77;
    EXPECT_FALSE(QueryMemoryLoad(load));
    EXPECT_EQ(load, 77u);

    // The query function: looked up again until found, then kept.
    ResetQuerySystemInformationForTesting();
    FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to get the handle of ntdll.dll, error: 126"));
    FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(LoadQuerySystemInformation());
    EXPECT_TRUE(log.Has(4, L"Failed to get the query function, error: 127"));
    EXPECT_TRUE(TakeProcessSnapshot(map));
    FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND, 0, 0);
    EXPECT_TRUE(LoadQuerySystemInformation());
}

TEST_F(ProcessSnapshotTest, EachWayTheUserLookupFails) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    const std::optional<size_t> handles = OpenHandleCount();
    struct Case {
        const char* api;
        DWORD code;
        unsigned skip;
        const wchar_t* line;  // null: no line at all
    };
    const Case cases[] = {
        {"OpenProcess", ERROR_ACCESS_DENIED, 0, nullptr},
        {"OpenProcess", ERROR_INVALID_PARAMETER, 0, L"Could not open process, error 0x57"},
        {"OpenProcessToken", ERROR_ACCESS_DENIED, 0, L"Could not open token, error 0x5"},
        {"GetTokenInformation", ERROR_INVALID_HANDLE, 0,
         L"Could not get Token info size, error is 0x6"},
        {"GetTokenInformation", ERROR_NOT_ENOUGH_MEMORY, 1, L"Could not get token info, error 0x8"},
        {"LookupAccountSidW", ERROR_NONE_MAPPED, 0, L"Get user name failed, error code: 0x534"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        std::wstring user = L"untouched";
        std::wstring domain = L"untouched";
        FailCall(c.api, c.code, c.skip);
        EXPECT_FALSE(GetProcessUserName(GetCurrentProcessId(), user, domain)) << c.api;
        ForgetInjectedFaults();
        EXPECT_EQ(user + domain, L"untoucheduntouched") << c.api;
        if (c.line == nullptr) {
            EXPECT_TRUE(log.Records().empty()) << c.api;
        } else {
            EXPECT_EQ(log.Messages(), std::vector<std::wstring>{c.line}) << c.api;
            EXPECT_EQ(log.Records().at(0).level, 4) << c.api;
        }
        EXPECT_EQ(OpenHandleCount(), handles) << c.api << ": a handle leaked";
    }
}

}  // namespace
}  // namespace dorn::test
