// Readings of this machine: the process table, processor times, memory load and users, and
// how each reading fails.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "process/ProcessSnapshot.h"
#include "process/ProcessUserName.h"
#include "tests/process/ProcessTestSupport.h"

namespace dorn::test {
namespace {

constexpr uint32_t kStatusNoMemory = 0xC0000017;
constexpr uint32_t kStatusInfoLengthMismatch = 0xC0000004;

class ProcessSnapshotTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetQuerySystemInformationForTesting(); }
    void TearDown() override { winport::testing::ClearFailures(); }
};

int64_t OwnCreationTime() {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
    return static_cast<int64_t>((uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime);
}

const ProcessCounters* Find(const ProcessMap& map, int64_t pid) {
    for (const auto& [key, counters] : map) {
        if (key.processId == pid) return &counters;
    }
    return nullptr;
}

TEST_F(ProcessSnapshotTest, ReadsThisMachinesProcesses) {
    TestChild child(SleepProgram());
    ProcessMap map;
    map[{1, 999999999}].imageName = L"kept";
    ASSERT_TRUE(TakeProcessSnapshot(map));
    EXPECT_EQ((map[{1, 999999999}].imageName), L"kept");  // a snapshot removes nothing
    EXPECT_EQ(Find(map, 0), nullptr);                     // no idle process
    ASSERT_NE(Find(map, child.Pid()), nullptr);
    EXPECT_EQ(Find(map, child.Pid())->imageName, L"sleep");
    // Our own entry, keyed by the creation time GetProcessTimes reports.
    auto self = map.find({OwnCreationTime(), getpid()});
    ASSERT_NE(self, map.end());
    const std::string exe = std::filesystem::path(OwnExecutable()).filename().string();
    EXPECT_EQ(self->second.imageName, std::wstring(exe.begin(), exe.end()));
    EXPECT_GT(self->second.privateBytes, 0u);
    EXPECT_GT(self->second.bytesRead, 0);  // it read its own shared libraries at least
    EXPECT_GT(self->second.kernelTime + self->second.userTime, 0);
    // Ordered oldest first: the child started after us.
    EXPECT_LT(map.find({OwnCreationTime(), getpid()})->first,
              std::find_if(map.begin(), map.end(), [&](const auto& entry) {
                  return entry.first.processId == child.Pid();
              })->first);
}

TEST_F(ProcessSnapshotTest, ProcessorTimesAdvanceWithTheClock) {
    uint64_t total1 = 0, idle1 = 0, total2 = 0, idle2 = 0;
    ASSERT_TRUE(QueryProcessorTimes(total1, idle1));
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(QueryProcessorTimes(total2, idle2));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1e7;
    const double processors = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_GT(idle1, 0u);
    EXPECT_LE(idle1, total1);
    // Every processor's elapsed time, give or take the clock ticks of the two readings.
    const double grown = static_cast<double>(total2 - total1);
    EXPECT_GT(grown, processors * elapsed * 0.6);
    EXPECT_LT(grown, processors * elapsed * 1.4 + 4e5);

    uint32_t load = 1000;
    ASSERT_TRUE(QueryMemoryLoad(load));
    EXPECT_LE(load, 100u);
}

TEST_F(ProcessSnapshotTest, QueryFailuresAreLoggedAndFail) {
    LogCapture log;
    ProcessMap map;
    uint64_t total = 5, idle = 5;

    winport::testing::FailCall("NtQuerySystemInformation", kStatusNoMemory);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to query 5, error: -1073741801"));
    winport::testing::FailCall("NtQuerySystemInformation", kStatusNoMemory, 1);
    EXPECT_FALSE(QueryProcessorTimes(total, idle));
    EXPECT_TRUE(log.Has(4, L"Failed to query 8, error: -1073741801"));
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(idle, 0u);

    // A table that keeps outgrowing the buffer gives up instead of looping for ever.
    winport::testing::FailCall("NtQuerySystemInformation", kStatusInfoLengthMismatch, 0, 0);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to query 5, error: -1073741820"));
    winport::testing::ClearFailures();
    EXPECT_TRUE(map.empty());

    // Two rounds of growth, then the table fits.
    winport::testing::FailCall("NtQuerySystemInformation", kStatusInfoLengthMismatch, 1, 2);
    EXPECT_TRUE(TakeProcessSnapshot(map));
    EXPECT_NE(Find(map, getpid()), nullptr);

    winport::testing::FailCall("GlobalMemoryStatusEx", ERROR_ACCESS_DENIED);
    uint32_t load = 77;
    EXPECT_FALSE(QueryMemoryLoad(load));
    EXPECT_EQ(load, 77u);
}

TEST_F(ProcessSnapshotTest, FunctionLookupIsRetriedUntilItSucceedsThenKept) {
    LogCapture log;
    ProcessMap map;
    winport::testing::FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(TakeProcessSnapshot(map));
    EXPECT_TRUE(log.Has(4, L"Failed to get the handle of ntdll.dll, error: 126"));
    winport::testing::FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(LoadQuerySystemInformation());
    EXPECT_TRUE(log.Has(4, L"Failed to get the query function, error: 127"));
    EXPECT_TRUE(TakeProcessSnapshot(map));
    // Found once, the address is kept: the lookups are not made again.
    winport::testing::FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND, 0, 0);
    EXPECT_TRUE(LoadQuerySystemInformation());
}

TEST_F(ProcessSnapshotTest, UserNameOfAProcessAndEachWayTheLookupFails) {
    LogCapture log;
    const size_t handles = winport::testing::OpenHandleCount();
    std::wstring user = L"untouched";
    std::wstring domain = L"untouched";
    ASSERT_TRUE(GetProcessUserName(getpid(), user, domain));
    EXPECT_EQ(user, CurrentUserName());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(domain, std::wstring(host, host + strlen(host)));

    struct Case {
        const char* api;
        uint32_t code;
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
        log.Clear();
        user = domain = L"untouched";
        winport::testing::FailCall(c.api, c.code, c.skip);
        EXPECT_FALSE(GetProcessUserName(getpid(), user, domain)) << c.api;
        winport::testing::ClearFailures();
        EXPECT_EQ(user, L"untouched") << c.api;
        EXPECT_EQ(domain, L"untouched") << c.api;
        if (c.line == nullptr) {
            EXPECT_TRUE(log.Records().empty()) << c.api;
        } else {
            EXPECT_EQ(log.Messages(), std::vector<std::wstring>{c.line}) << c.api;
            EXPECT_EQ(log.Records().at(0).level, 4) << c.api;
        }
        EXPECT_EQ(winport::testing::OpenHandleCount(), handles) << c.api << ": a handle leaked";
    }
}

}  // namespace
}  // namespace dorn::test
