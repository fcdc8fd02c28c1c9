// Code page conversions with Windows' length conventions; every code page here is UTF-8.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::string ToNarrow(const std::wstring& wide, DWORD flags = 0, UINT codePage = CP_UTF8) {
    const int size = WideCharToMultiByte(
        codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    if (size > 0) {
        WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                            narrow.data(), size, nullptr, nullptr);
    }
    return narrow;
}

std::wstring ToWide(const std::string& narrow, DWORD flags = 0) {
    const int size = MultiByteToWideChar(CP_UTF8, flags, narrow.data(),
                                         static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, flags, narrow.data(), static_cast<int>(narrow.size()),
                            wide.data(), size);
    }
    return wide;
}

TEST(CodePageTest, RoundTripsInEveryCodePage) {
    const std::wstring text = L"a\u00e9\u20ac\U0001F600z";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    for (UINT codePage : {UINT{CP_UTF8}, UINT{CP_ACP}, UINT{CP_OEMCP}, UINT{CP_THREAD_ACP}}) {
        EXPECT_EQ(ToNarrow(text, 0, codePage), utf8) << codePage;
    }
    EXPECT_EQ(ToWide(utf8), text);
}

// Callers pass explicit lengths and buffers of the size asked: no NUL-terminated (-1) lengths.
TEST(CodePageTest, TextWithoutAFormIsReplacedOrRefused) {
    // A wchar_t that is a surrogate or above U+10FFFF has no UTF-8 form.
    const std::wstring invalid = {L'a', static_cast<wchar_t>(0xD800),
                                  static_cast<wchar_t>(0x110000)};
    EXPECT_EQ(ToNarrow(invalid), "a\xEF\xBF\xBD\xEF\xBF\xBD");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, invalid.data(), 3, nullptr, 0,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_UNICODE_TRANSLATION});

    // One U+FFFD per maximal ill-formed subsequence: overlong, truncated, stray continuation,
    // encoded surrogate, lead byte beyond U+10FFFF.
    EXPECT_EQ(ToWide("\xC0\xAF|\xE2\x82|\x80|\xED\xA0\x80|\xF5"),
              L"\uFFFD\uFFFD|\uFFFD|\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ok\xE2\x82", 4, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_UNICODE_TRANSLATION});
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ok", 2, nullptr, 0), 2);
}

// The ANSI code pages take the flags and default character of a table code page.
TEST(CodePageTest, AnsiCodePagesReportTheDefaultCharacter) {
    const std::wstring invalid = {L'a', static_cast<wchar_t>(0xDC00), L'b'};
    char narrow[8] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, invalid.data(), 3, narrow, 8,
                                  nullptr, &usedDefault),
              3);
    EXPECT_EQ(std::string(narrow, 3), "a?b");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_OEMCP, 0, invalid.data(), 3, narrow, 8, "#", &usedDefault), 3);
    EXPECT_EQ(std::string(narrow, 3), "a#b");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u00e9", 1, narrow, 8, nullptr, &usedDefault), 2);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(std::string(narrow, 2), "\xC3\xA9");
    wchar_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "\xC3\xA9", 2, wide, 8), 1);
    EXPECT_EQ(wide[0], L'\u00e9');
}

// The flags and default character a UTF-8 conversion refuses, as corestring chooses them.
TEST(CodePageTest, FlagsOutsideTheirCodePageAreRefused) {
    char narrow[8];
    BOOL usedDefault = FALSE;
    const auto failsWith = [](int result, DWORD error) {
        return result == 0 && GetLastError() == error;
    };
    EXPECT_TRUE(failsWith(
        WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", 1, narrow, 8, nullptr, nullptr),
        ERROR_INVALID_FLAGS));
    EXPECT_TRUE(failsWith(WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 8, "?", &usedDefault),
                          ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(failsWith(
        WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, L"a", 1, narrow, 8, nullptr, nullptr),
        ERROR_INVALID_FLAGS));
}

}  // namespace
