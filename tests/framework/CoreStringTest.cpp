// CORE::corestring helpers: paths, split, numbers, Base64, code pages and the registry reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "quillmesh/corestring.h"
#include "FaultInjection.h"
#include "TestRegistry.h"

namespace {

using WString = CORE::corestring<wchar_t>;
using NString = CORE::corestring<char>;

TEST(CoreStringTest, PathHelpers) {
    const WString path = L"Z:\\opt\\dorn.d\\bin\\libdorn_helpdesk.so";
    EXPECT_EQ(path.lastPath(), L"libdorn_helpdesk.so");
    EXPECT_EQ(path.lastPath().dropSuffix(), L"libdorn_helpdesk");
    EXPECT_EQ(path.dropLastPath(), L"Z:\\opt\\dorn.d\\bin");
    EXPECT_EQ(WString(L"Z:\\opt\\dorn.d\\bin").dropSuffix(), L"Z:\\opt\\dorn.d\\bin");
    EXPECT_EQ(WString(L"Z:/usr/bin/sleep").lastPath(), L"sleep");
    EXPECT_EQ(WString(L"plain").dropLastPath(), L"");
    EXPECT_EQ(WString(L"Z:\\dir").appendPath(L"file.exe"), L"Z:\\dir\\file.exe");
    EXPECT_EQ(WString(L"Z:\\dir\\").appendPath(L"file.exe"), L"Z:\\dir\\file.exe");
    EXPECT_EQ(WString().appendPath(L"file.exe"), L"file.exe");

    // The executable, as a Windows path on drive Z: that names this test program.
    const WString self = WString::getModuleName(nullptr);
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self.substr(0, 3), L"Z:\\");
    EXPECT_EQ(self.lastPath().dropSuffix(), L"framework_tests");
}

// Only as the counter-name index splits a list: keepEmpty and a piece count are unused.
TEST(CoreStringTest, SplitKeepsOrderAndHandlesNulSeparators) {
    const WString counters(
        std::wstring(L"1\0"
                     L"1847\0"
                     L"2\0System\0\0",
                     17));
    const std::vector<WString> pieces = counters.split(L'\0');
    EXPECT_EQ(pieces, (std::vector<WString>{L"1", L"1847", L"2", L"System"}));
    EXPECT_TRUE(WString().split(L',').empty());
}

// Whole numbers, as the settings read them (toInt64 and leading-text reads have no caller).
TEST(CoreStringTest, NumbersParseWhole) {
    EXPECT_EQ(WString(L"42").toInt(), 42);
    EXPECT_EQ(WString(L"  -7 ").toInt(), -7);
    EXPECT_EQ(WString(L"+3").toInt(), 3);
    EXPECT_EQ(WString(L"2147483647").toInt(), INT32_MAX);
    EXPECT_EQ(WString(L"-2147483648").toInt(), INT32_MIN);
    EXPECT_EQ(WString(L"2147483648").toInt(), 0);  // does not fit 32 bits
    EXPECT_EQ(WString(L"12abc").toInt(true), 0);
    for (const wchar_t* junk : {L"", L"-", L"abc", L" ", L"0x10", L"--1", L"1 2"}) {
        EXPECT_EQ(WString(junk).toInt(), 0) << junk;
    }

    for (const wchar_t* yes : {L"1", L"TRUE", L"yes", L" On ", L"-3", L"00012"}) {
        EXPECT_TRUE(WString(yes).toBool()) << yes;
    }
    for (const wchar_t* no : {L"0", L"", L"false", L"no", L"off", L"2x", L"000", L"enabled"}) {
        EXPECT_FALSE(WString(no).toBool()) << no;
    }
}

// The case-free comparison, which only matches the operation name: DispatchTest.
TEST(CoreStringTest, Base64PadsToWholeQuads) {
    EXPECT_EQ(NString("abc").base64Encode(), "YWJj");
    EXPECT_EQ(NString("").base64Encode(), "");
    EXPECT_EQ(NString("a").base64Encode(), "YQ==");
    EXPECT_EQ(NString("ab").base64Encode(), "YWI=");
    EXPECT_EQ(NString(std::string("\x00\xff\xfe?", 4)).base64Encode(), "AP/+Pw==");
}

TEST(CoreStringTest, CodePageConversionsRoundTripAndRefuseBadText) {
    const WString wide = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    const NString narrow = wide._tstr(65001);
    EXPECT_EQ(narrow,
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(narrow._wstr(), wide);
    EXPECT_EQ(WString()._tstr(), "");
    EXPECT_EQ(NString()._wstr(), L"");

    EXPECT_THROW(NString("bad \xff byte")._wstr(), CORE::conversion_error);
    EXPECT_THROW(NString("cut \xe6\x97")._wstr(), CORE::conversion_error);
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_THROW(WString(std::wstring(1, static_cast<wchar_t>(0xD800)))._tstr(),
                     CORE::conversion_error);
    }
}

class RegistryTextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        using namespace dorn::test;
        SetMachineString(kKey, L"Text", L"hello");
        SetMachineString(kKey, L"List", std::wstring(L"1\0System\0", 9), REG_MULTI_SZ);
        SetMachineDword(kKey, L"Number", 4000000000u);
        SetMachineBinary(kKey, L"Blob", {1, 2, 3});
    }
    // As the settings and the counter-name index read: HKLM, never expanding.
    static WString Read(const wchar_t* value) {
        return WString::readRegistry(WString(L"HKLM\\") + kKey + L"\\" + value, L"dflt", false);
    }

    static constexpr const wchar_t* kKey = L"Software\\Dorn\\FrameworkTest";
    dorn::test::RegistrySandbox m_sandbox;
};

TEST_F(RegistryTextTest, ValuesReadAsTextOrTheDefault) {
    EXPECT_EQ(Read(L"Text"), L"hello");
    EXPECT_EQ(Read(L"text"), L"hello");  // value names compare without case
    EXPECT_EQ(Read(L"List"), std::wstring(L"1\0System", 8));
    EXPECT_EQ(Read(L"Number"), L"4000000000");
    EXPECT_EQ(Read(L"Blob"), L"dflt");
    EXPECT_EQ(Read(L"Missing"), L"dflt");
    for (const wchar_t* bad :
         {L"HKLM\\Software\\Nowhere\\Text", L"HKXX\\Software\\Dorn\\Text", L"Text", L""}) {
        EXPECT_EQ(WString::readRegistry(bad, L"dflt"), L"dflt") << bad;
    }
    NString narrow = NString::readRegistry("HKLM\\Software\\Dorn\\FrameworkTest\\Text", "");
    EXPECT_EQ(narrow, "hello");
}

TEST_F(RegistryTextTest, FailingRegistryCallsGiveTheDefault) {
    if (!dorn::test::CanInjectFaults()) GTEST_SKIP() << dorn::test::kNoFaultInjection;
    dorn::test::FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Read(L"Text"), L"dflt");
    dorn::test::FailCall("RegQueryValueExW", ERROR_ACCESS_DENIED, 1);  // the read, not the size
    EXPECT_EQ(Read(L"Text"), L"dflt");
    EXPECT_EQ(Read(L"Text"), L"hello");
}

}  // namespace
