// Calendar conversions from SYSTEMTIME to FILETIME (100 ns since 1601-01-01 UTC), as the
// process records and the historical collector make them, and the clocks.
#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>

#include "Waiting.h"

namespace {

ULONGLONG Ticks(const FILETIME& time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

ULONGLONG ToTicks(SYSTEMTIME time) {
    FILETIME fileTime{};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &fileTime));
    return Ticks(fileTime);
}

struct KnownDate {
    SYSTEMTIME time;
    ULONGLONG ticks;
};

TEST(TimeTest, KnownDatesConvert) {
    const KnownDate dates[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},  // the epoch
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000ull},
        {{2024, 12, 2, 31, 23, 59, 59, 999}, 133801631999990000ull},
        {{30827, 12, 0, 31, 23, 59, 59, 999}, 9223149887999990000ull},  // the last one
    };
    for (const KnownDate& date : dates) EXPECT_EQ(ToTicks(date.time), date.ticks) << date.ticks;
}

// Callers convert the system time only: invalid dates are never passed.
TEST(TimeTest, ClocksAgreeWithTheSystem) {
    const ULONGLONG unixSeconds = static_cast<ULONGLONG>(std::time(nullptr));
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const ULONGLONG seconds = (ToTicks(now) - 116444736000000000ull) / 10000000;
    EXPECT_LE(unixSeconds, seconds);
    EXPECT_LE(seconds, unixSeconds + 60);

    // The tick count moves forward, and GetTickCount is the low 32 bits of the same clock: read
    // between two GetTickCount64 calls, it lies between their low 32 bits.
    const ULONGLONG before = GetTickCount64();
    EXPECT_TRUE(dorn::test::WaitUntil([&] { return GetTickCount64() >= before + 20; }));
    const ULONGLONG first = GetTickCount64();
    const DWORD ticks = GetTickCount();
    const ULONGLONG last = GetTickCount64();
    EXPECT_LE(first, last);
    EXPECT_LE(static_cast<DWORD>(ticks - static_cast<DWORD>(first)),
              static_cast<DWORD>(last - first));
}

}  // namespace
