#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(CharLowerTest, LowersInPlaceOrOneCharacterByValue) {
    wchar_t text[] = L"C:\\PROGRAM Files\\\u00C9T\u00C9\\\u0394";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(std::wstring(text), L"c:\\program files\\\u00e9t\u00e9\\\u03b4");

    // A "pointer" below 0x10000 is a character passed by value, and so is the result.
    const auto lowered = reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(L'Q')));
    EXPECT_EQ(lowered, uintptr_t{L'q'});
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(0xC9))), 0xE9u);
}

}  // namespace
