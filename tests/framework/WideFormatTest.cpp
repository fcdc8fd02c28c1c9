// The wide printf formatter: Windows meanings of %s/%S, length modifiers and flags, the same on
// every platform.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "WideFormat.h"

namespace {

using quillmesh::FormatWide;

TEST(WideFormatTest, StringsWideNarrowAndNull) {
    EXPECT_EQ(FormatWide(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(FormatWide(L"[%S]", "narrow"), L"[narrow]");
    EXPECT_EQ(FormatWide(L"[%hs|%ls|%ws]", "h", L"l", L"w"), L"[h|l|w]");
    EXPECT_EQ(FormatWide(L"[%hS|%lS]", "h", L"l"), L"[h|l]");
    EXPECT_EQ(FormatWide(L"%S",
                         "Gr\xc3\xbc\xc3\x9f"
                         "e \xe6\x97\xa5"),
              L"Gr\u00fc\u00dfe \u65e5");
    EXPECT_EQ(FormatWide(L"%S", "bad\xff"), L"bad\ufffd");
    EXPECT_EQ(FormatWide(L"%s|%S", static_cast<const wchar_t*>(nullptr),
                         static_cast<const char*>(nullptr)),
              L"(null)|(null)");
    EXPECT_EQ(FormatWide(L"[%6s][%-6s][%.2s][%6.2S]", L"abc", L"abc", L"abc", "abc"),
              L"[   abc][abc   ][ab][    ab]");
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(FormatWide(L"%.3S", unterminated), L"xyz");  // the precision bounds the read
    const wchar_t unterminatedWide[2] = {L'u', L'v'};
    EXPECT_EQ(FormatWide(L"%.2s", unterminatedWide), L"uv");
    EXPECT_EQ(FormatWide(L"%c%C%hc%lc", L'\u00e9', 'A', 'b', L'\u4e2d'), L"\u00e9Ab\u4e2d");
    EXPECT_EQ(FormatWide(L"100%% of %s", L"it"), L"100% of it");
}

TEST(WideFormatTest, IntegersWithLengthModifiers) {
    EXPECT_EQ(FormatWide(L"%d %i %u", -42, 7, -1), L"-42 7 4294967295");
    EXPECT_EQ(FormatWide(L"%x %X %o", 0xbeefu, 0xbeefu, 8u), L"beef BEEF 10");
    EXPECT_EQ(FormatWide(L"0x%x", 259u), L"0x103");
    EXPECT_EQ(FormatWide(L"%hd %hu %hhd %hhu", 70000, 70000, 200, 257), L"4464 4464 -56 1");
    // "l" is the 32-bit long of Windows, whatever the platform's long is.
    EXPECT_EQ(FormatWide(L"%ld %lu %lx", -5L, 4294967295UL, 0xffffffffUL),
              L"-5 4294967295 ffffffff");
    EXPECT_EQ(FormatWide(L"%lld %llu", LLONG_MIN, ULLONG_MAX),
              L"-9223372036854775808 18446744073709551615");
    EXPECT_EQ(FormatWide(L"%I64d %I64u %I64X", INT64_MIN, UINT64_MAX, 0xABCDEF0123456789ULL),
              L"-9223372036854775808 18446744073709551615 ABCDEF0123456789");
    EXPECT_EQ(FormatWide(L"%I32d %I32u", INT32_MIN, UINT32_MAX), L"-2147483648 4294967295");
    EXPECT_EQ(FormatWide(L"%zu %Iu %jd %td", SIZE_MAX, size_t{5}, intmax_t{-6}, ptrdiff_t{-7}),
              L"18446744073709551615 5 -6 -7");
}

TEST(WideFormatTest, FlagsWidthsAndPrecision) {
    EXPECT_EQ(FormatWide(L"[%5d][%-5d][%05d][%+d][% d][%+d]", 42, 42, -42, 42, 42, -42),
              L"[   42][42   ][-0042][+42][ 42][-42]");
    EXPECT_EQ(FormatWide(L"[%.3d][%6.3d][%-06d][%06.2d]", 7, -7, 7, 7),
              L"[007][  -007][7     ][    07]");
    EXPECT_EQ(FormatWide(L"[%.0d][%.0x][%#x][%#X][%#o][%#x]", 0, 0, 255, 255, 8, 0),
              L"[][][0xff][0XFF][010][0]");
    EXPECT_EQ(FormatWide(L"[%08X]", 0x1234u), L"[00001234]");
    EXPECT_EQ(FormatWide(L"[%*d][%-*d][%*d][%.*d][%.*d]", 4, 1, 3, 2, -3, 3, 3, 4, -1, 5),
              L"[   1][2  ][3  ][004][5]");
    EXPECT_EQ(FormatWide(L"[%*.*s]", 5, 2, L"abcdef"), L"[   ab]");
    EXPECT_EQ(FormatWide(L"[%u]", 0u), L"[0]");
}

TEST(WideFormatTest, PointersFloatsAndOddFormats) {
    EXPECT_EQ(FormatWide(L"%p", reinterpret_cast<void*>(uintptr_t{0xABCDEF})), L"0000000000ABCDEF");
    EXPECT_EQ(FormatWide(L"%p", nullptr), L"0000000000000000");
    EXPECT_EQ(FormatWide(L"[%20p]", reinterpret_cast<void*>(uintptr_t{1})),
              L"[    0000000000000001]");

    EXPECT_EQ(FormatWide(L"%f %.2f %e %g %G", 1.5, 2.346, 12345.678, 0.0001, 1e20),
              L"1.500000 2.35 1.234568e+04 0.0001 1E+20");
    EXPECT_EQ(FormatWide(L"[%10.3f][%-8.1f][%+.1f][%08.2f]", 3.14159, 2.0, 1.0, -1.5),
              L"[     3.142][2.0     ][+1.0][-0001.50]");
    EXPECT_EQ(FormatWide(L"%.1Lf", 2.26L), L"2.3");

    // An unknown conversion is shown as written and takes no argument; so is a trailing '%'.
    EXPECT_EQ(FormatWide(L"%y %d %", 5), L"%y 5 %");
    EXPECT_EQ(FormatWide(L"plain text"), L"plain text");
    EXPECT_EQ(FormatWide(nullptr), L"");
    int written = 0;
    EXPECT_EQ(FormatWide(L"a%nb%d", &written, 3), L"ab3");
    EXPECT_EQ(written, 0);
    // Absurd widths are bounded instead of exhausting memory.
    EXPECT_LE(FormatWide(L"%999999999d", 1).size(), size_t{1} << 17);
}

}  // namespace
