// The Linux file system as drive Z:.
#include "Paths.h"

#include <gtest/gtest.h>

namespace {

TEST(PathsTest, LinuxPathsBecomeDriveZ) {
    EXPECT_EQ(winport::ToWindowsPath("/usr/bin/sleep"), L"Z:\\usr\\bin\\sleep");
    EXPECT_EQ(winport::ToWindowsPath("/"), L"Z:\\");
    EXPECT_EQ(winport::ToWindowsPath("/home/j\xC3\xB6rg"), L"Z:\\home\\j\u00f6rg");
}

TEST(PathsTest, WindowsPathsOnZBecomeLinuxPaths) {
    EXPECT_EQ(winport::ToLinuxPath(L"Z:\\usr\\bin\\sleep"), "/usr/bin/sleep");
    EXPECT_EQ(winport::ToLinuxPath(L"z:/usr/bin/sleep"), "/usr/bin/sleep");
    EXPECT_EQ(winport::ToLinuxPath(L"/usr/bin/sleep"), "/usr/bin/sleep");
    EXPECT_EQ(winport::ToLinuxPath(L"\\usr\\bin"), "/usr/bin");  // rooted on the current drive
    EXPECT_EQ(winport::ToLinuxPath(L"Z:"), "/");
    EXPECT_EQ(winport::ToLinuxPath(L"\\\\?\\Z:\\tmp"), "/tmp");
    EXPECT_EQ(winport::ToLinuxPath(L"Z:\\home\\j\u00f6rg"), "/home/j\xC3\xB6rg");

    EXPECT_EQ(winport::ToLinuxPath(L"C:\\Windows"), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(L"Z:relative"), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(L"relative\\path"), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(L"\\\\server\\share"), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(L""), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(std::wstring_view(L"Z:\\a\0b", 6)), std::nullopt);
    EXPECT_EQ(winport::ToLinuxPath(std::wstring{L'/', static_cast<wchar_t>(0xD800)}), std::nullopt);
}

TEST(PathsTest, BytesThatAreNotUtf8SurviveTheRoundTrip) {
    const std::string linuxPath = "/tmp/caf\xE9/\xFF\xFE";
    const std::wstring windowsPath = winport::ToWindowsPath(linuxPath);
    EXPECT_EQ(windowsPath.substr(0, 10), L"Z:\\tmp\\caf");
    EXPECT_EQ(winport::ToLinuxPath(windowsPath), linuxPath);
}

}  // namespace
