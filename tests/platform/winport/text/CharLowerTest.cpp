#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(CharLowerTest, LowersInPlace) {
    wchar_t text[] = L"C:\\PROGRAM Files\\\u00C9T\u00C9\\\u0394";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(std::wstring(text), L"c:\\program files\\\u00e9t\u00e9\\\u03b4");
}

}  // namespace
