// Calendar conversions between SYSTEMTIME and FILETIME (100 ns since 1601-01-01 UTC), and the
// clocks.
#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>

#include "Waiting.h"

namespace {

ULONGLONG Ticks(const FILETIME& time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG ticks) {
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

ULONGLONG ToTicks(SYSTEMTIME time) {
    FILETIME fileTime{};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &fileTime));
    return Ticks(fileTime);
}

struct KnownDate {
    SYSTEMTIME time;  // wDayOfWeek as Windows reports it
    ULONGLONG ticks;
};

TEST(TimeTest, KnownDatesConvertBothWays) {
    const KnownDate dates[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},  // the epoch, a Monday
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000ull},
        {{2024, 12, 2, 31, 23, 59, 59, 999}, 133801631999990000ull},
        {{30828, 9, 4, 14, 2, 48, 5, 477}, 0x7FFFFFFFFFFFFFFFull},  // the last one Windows takes,
    };
    for (const KnownDate& date : dates) {
        SYSTEMTIME back{};
        const FILETIME fileTime = FromTicks(date.ticks);
        ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &back)) << date.ticks;
        EXPECT_EQ(back.wYear, date.time.wYear);
        EXPECT_EQ(back.wMonth, date.time.wMonth);
        EXPECT_EQ(back.wDay, date.time.wDay);
        EXPECT_EQ(back.wDayOfWeek, date.time.wDayOfWeek) << date.time.wYear;
        EXPECT_EQ(back.wHour, date.time.wHour);
        EXPECT_EQ(back.wMinute, date.time.wMinute);
        EXPECT_EQ(back.wSecond, date.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, date.time.wMilliseconds);
        if (date.time.wYear <= 30827) {
            EXPECT_EQ(ToTicks(date.time), date.ticks);
        }
    }
}

TEST(TimeTest, InvalidTimesAreRefused) {
    const SYSTEMTIME invalid[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0}, {2023, 0, 0, 1, 0, 0, 0, 0},
        {2023, 13, 0, 1, 0, 0, 0, 0},  {2023, 2, 0, 29, 0, 0, 0, 0}, {1900, 2, 0, 29, 0, 0, 0, 0},
        {2023, 4, 0, 31, 0, 0, 0, 0},  {2023, 1, 0, 0, 0, 0, 0, 0},  {2023, 1, 0, 1, 24, 0, 0, 0},
        {2023, 1, 0, 1, 0, 60, 0, 0},  {2023, 1, 0, 1, 0, 0, 60, 0}, {2023, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const SYSTEMTIME& time : invalid) {
        FILETIME fileTime{};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&time, &fileTime))
            << time.wYear << "-" << time.wMonth << "-" << time.wDay;
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    const SYSTEMTIME leapDay{2000, 2, 0, 29, 0, 0, 0, 0};
    FILETIME fileTime{};
    EXPECT_TRUE(SystemTimeToFileTime(&leapDay, &fileTime));

    const FILETIME tooLate = FromTicks(0x8000000000000000ull);
    SYSTEMTIME time{};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &time));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

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
