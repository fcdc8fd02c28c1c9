#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

namespace {

TEST(LastErrorTest, EachThreadHasItsOwn) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_INVALID_HANDLE);
    });
    other.join();
    EXPECT_EQ(seenByOther, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
}

}  // namespace
