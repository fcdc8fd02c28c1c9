// Failures armed by tests: which calls they hit and how often. How each kind of call reports
// them is checked where the tests of the code above use them.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "winport/testing.h"

namespace {

class FaultInjectionTest : public ::testing::Test {
  protected:
    void SetUp() override { winport::testing::ClearFailures(); }
    void TearDown() override { winport::testing::ClearFailures(); }
};

LSTATUS QueryRoot() {
    return RegQueryInfoKeyW(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::vector<LSTATUS> QueryRootTimes(int count) {
    std::vector<LSTATUS> results;
    for (int i = 0; i < count; ++i) results.push_back(QueryRoot());
    return results;
}

TEST_F(FaultInjectionTest, SkipAndTimesCountCallsOfTheNamedFunctionOnly) {
    winport::testing::FailCall("RegQueryInfoKeyW", ERROR_BADDB, 1, 2);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // another call: not counted
    EXPECT_EQ(QueryRootTimes(4),
              (std::vector<LSTATUS>{ERROR_SUCCESS, ERROR_BADDB, ERROR_BADDB, ERROR_SUCCESS}));

    winport::testing::FailCall("RegQueryInfoKeyW", ERROR_BADKEY, 0, 0);  // every call
    EXPECT_EQ(QueryRootTimes(3), std::vector<LSTATUS>(3, ERROR_BADKEY));
    winport::testing::ClearFailures();
    EXPECT_EQ(QueryRoot(), ERROR_SUCCESS);

    // Two failures armed for one call: both count it, the earlier one fires first.
    winport::testing::FailCall("RegQueryInfoKeyW", ERROR_BADDB, 0, 1);
    winport::testing::FailCall("RegQueryInfoKeyW", ERROR_BADKEY, 1, 1);
    EXPECT_EQ(QueryRootTimes(3), (std::vector<LSTATUS>{ERROR_BADDB, ERROR_BADKEY, ERROR_SUCCESS}));
}

TEST_F(FaultInjectionTest, ConcurrentCallersShareTheArmedFailures) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    constexpr unsigned kFailures = 150;
    winport::testing::FailCall("RegQueryInfoKeyW", ERROR_BADDB, 10, kFailures);
    std::atomic<unsigned> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                if (QueryRoot() == ERROR_BADDB) ++failed;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), kFailures);
}

}  // namespace
