// The wide printf formatter: the Windows meanings of %s and %S and the conversions the system's
// log lines use (%d, %u, %x, %p), the same on every platform. Length modifiers, flags, widths and
// floating point are in no log line, so not pinned here.
#include <gtest/gtest.h>

#include <cstdint>

#include "WideFormat.h"

namespace {

using quillmesh::FormatWide;

TEST(WideFormatTest, StringsWideNarrowAndNull) {
    EXPECT_EQ(FormatWide(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(FormatWide(L"[%S]", "narrow"), L"[narrow]");
    EXPECT_EQ(FormatWide(L"%S",
                         "Gr\xc3\xbc\xc3\x9f"
                         "e \xe6\x97\xa5"),
              L"Gr\u00fc\u00dfe \u65e5");
    EXPECT_EQ(FormatWide(L"%S", "bad\xff"), L"bad\ufffd");
    EXPECT_EQ(FormatWide(L"%s|%S", static_cast<const wchar_t*>(nullptr),
                         static_cast<const char*>(nullptr)),
              L"(null)|(null)");
    EXPECT_EQ(FormatWide(L"100%% of %s", L"it"), L"100% of it");
}

TEST(WideFormatTest, IntegersAndPointers) {
    EXPECT_EQ(FormatWide(L"%d %u %d", -42, -1, INT32_MIN), L"-42 4294967295 -2147483648");
    EXPECT_EQ(FormatWide(L"0x%x %x", 259u, 0xffffffffu), L"0x103 ffffffff");
    EXPECT_EQ(FormatWide(L"%p", reinterpret_cast<void*>(uintptr_t{0xABCDEF})), L"0000000000ABCDEF");
    EXPECT_EQ(FormatWide(L"%p", nullptr), L"0000000000000000");
}

TEST(WideFormatTest, OddFormatsAreShownAsWritten) {
    // An unknown conversion is shown as written and takes no argument; so is a trailing '%'.
    EXPECT_EQ(FormatWide(L"%y %d %", 5), L"%y 5 %");
    EXPECT_EQ(FormatWide(L"plain text"), L"plain text");
    EXPECT_EQ(FormatWide(nullptr), L"");
    // Absurd widths are bounded instead of exhausting memory.
    EXPECT_LE(FormatWide(L"%999999999d", 1).size(), size_t{1} << 17);
}

}  // namespace
