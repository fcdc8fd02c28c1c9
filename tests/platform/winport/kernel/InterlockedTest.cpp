#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

TEST(InterlockedTest, ReturnValuesAsOnWindows) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);  // the new value
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);  // the old value
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);

    value = INT32_MAX;
    EXPECT_EQ(InterlockedIncrement(&value), INT32_MIN);  // wraps as 32-bit two's complement
    EXPECT_EQ(InterlockedDecrement(&value), INT32_MAX);
}

TEST(InterlockedTest, ConcurrentUpdatesAreNotLost) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    volatile LONG counter = 0;
    volatile LONG sum = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedIncrement(&counter);
                InterlockedExchangeAdd(&sum, 2);
                // A compare-exchange loop as Windows code writes one; the first read is atomic too.
                LONG seen = InterlockedExchangeAdd(&sum, 0);
                for (LONG previous;
                     (previous = InterlockedCompareExchange(&sum, seen + 1, seen)) != seen;) {
                    seen = previous;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, kThreads * kRounds);
    EXPECT_EQ(sum, 3 * kThreads * kRounds);
}

}  // namespace
