// Clocks and calendar conversions. A FILETIME counts 100-nanosecond intervals since
// 1601-01-01 00:00 UTC, in the proleptic Gregorian calendar.
#include <windows.h>

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Faults.h"

namespace {

constexpr uint64_t kTicksPerMillisecond = 10000;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a FILETIME
constexpr int64_t kDaysFrom0000To1601 = 584694;              // from 0000-03-01 to 1601-01-01
constexpr WORD kFirstYear = 1601;
constexpr WORD kLastYear = 30827;

bool IsLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1601-01-01 (a Monday) of a civil date, counting years from March so that the
// leap day comes last.
int64_t DaysSince1601(unsigned year, unsigned month, unsigned day) {
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = y / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - kDaysFrom0000To1601;
}

void CivilFromDays(int64_t daysSince1601, SYSTEMTIME& time) {
    const int64_t z = daysSince1601 + kDaysFrom0000To1601;
    const int64_t era = z / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    time.wYear = static_cast<WORD>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    time.wDayOfWeek = static_cast<WORD>((daysSince1601 + 1) % 7);  // 1601-01-01: Monday
}

bool IsValid(const SYSTEMTIME& t) {
    if (t.wYear < kFirstYear || t.wYear > kLastYear) return false;
    if (t.wMonth < 1 || t.wMonth > 12) return false;
    if (t.wDay < 1 || t.wDay > DaysInMonth(t.wYear, t.wMonth)) return false;
    return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

uint64_t ToTicks(const FILETIME& fileTime) {
    return (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks) {
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint64_t ClockMilliseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool FailWith(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

extern "C" {

// Milliseconds since boot, counting time spent suspended, as Windows does.
ULONGLONG WINAPI GetTickCount64() {
    return ClockMilliseconds(CLOCK_BOOTTIME);
}

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime) {
    if (fileTime == nullptr) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *fileTime = FromTicks(kUnixEpochTicks + static_cast<uint64_t>(now.tv_sec) * kTicksPerSecond +
                          static_cast<uint64_t>(now.tv_nsec) / 100);
}

void WINAPI GetSystemTime(LPSYSTEMTIME systemTime) {
    if (systemTime == nullptr) return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FileTimeToSystemTime(&now, systemTime);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    if (auto code = winport::TakeInjectedFailure("SystemTimeToFileTime")) return FailWith(*code);
    if (systemTime == nullptr || fileTime == nullptr || !IsValid(*systemTime)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const SYSTEMTIME& t = *systemTime;
    const auto days = static_cast<uint64_t>(DaysSince1601(t.wYear, t.wMonth, t.wDay));
    const uint64_t seconds = t.wHour * 3600ull + t.wMinute * 60ull + t.wSecond;
    *fileTime = FromTicks(days * kTicksPerDay + seconds * kTicksPerSecond +
                          t.wMilliseconds * kTicksPerMillisecond);
    return TRUE;
}

// Times from 2^63 on are refused, as on Windows.
BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    if (auto code = winport::TakeInjectedFailure("FileTimeToSystemTime")) return FailWith(*code);
    if (fileTime == nullptr || systemTime == nullptr || (fileTime->dwHighDateTime >> 31) != 0) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const uint64_t ticks = ToTicks(*fileTime);
    CivilFromDays(static_cast<int64_t>(ticks / kTicksPerDay), *systemTime);
    const uint64_t ofDay = ticks % kTicksPerDay;
    systemTime->wHour = static_cast<WORD>(ofDay / (3600 * kTicksPerSecond));
    systemTime->wMinute = static_cast<WORD>(ofDay / (60 * kTicksPerSecond) % 60);
    systemTime->wSecond = static_cast<WORD>(ofDay / kTicksPerSecond % 60);
    systemTime->wMilliseconds = static_cast<WORD>(ofDay / kTicksPerMillisecond % 1000);
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // extern "C"
