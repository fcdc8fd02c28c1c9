// Threads of the Windows API layer, as the thread runners and the collectors call them.
#include <gtest/gtest.h>
#include <windows.h>
#include <winport/testing.h>

#include <atomic>
#include <string>

#include "ThreadQueries.h"
#include "Waiting.h"

namespace {

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> runs{0};
};

DWORD WINAPI WaitAtGate(LPVOID argument) {
    auto* gate = static_cast<Gate*>(argument);
    gate->runs.fetch_add(1);
    while (!gate->open.load()) Sleep(1);
    return 42;
}

DWORD WINAPI ReportId(LPVOID argument) {
    static_cast<std::atomic<DWORD>*>(argument)->store(GetCurrentThreadId());
    return 7;
}

DWORD WINAPI UseOwnSlot(LPVOID argument) {
    auto* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    const bool freshSlot = tib->ArbitraryUserPointer == nullptr && tib->Self == tib;
    tib->ArbitraryUserPointer = argument;
    return freshSlot && reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ArbitraryUserPointer == argument
               ? 1
               : 0;
}

DWORD WINAPI ReadOwnSystemName(LPVOID argument) {
    SetThreadDescription(GetCurrentThread(), L"HelpdeskAsyncWithALongerName");
    *static_cast<std::string*>(argument) = dorn::test::SystemThreadName(GetCurrentThreadId());
    return 0;
}

TEST(WinportThreadsTest, SuspendedThreadRunsOnlyAfterResumeAndReportsItsExit) {
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    // A suspended thread has not run, however long it is given.
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(gate.runs.load(), 0);
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));

    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(ResumeThread(thread), 0u);  // already running
    ASSERT_TRUE(dorn::test::WaitUntil([&] { return gate.runs.load() == 1; }));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // at the gate

    gate.open = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(WinportThreadsTest, ThreadIdsAreTheSystemsAndHandlesMayCloseFirst) {
    const size_t handlesBefore = winport::testing::OpenHandleCount();
    std::atomic<DWORD> seen{0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReportId, &seen, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(seen.load(), id);
    EXPECT_TRUE(CloseHandle(thread));

    // Closed while it still waits: the thread finishes on its own and leaves nothing behind.
    // (static: the thread may still read it after the test has returned)
    static Gate gate;
    thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(winport::testing::OpenHandleCount(), handlesBefore);
    gate.open = true;
}

// A failed CreateThread, as the runners see it: ThreadRunnerTest.
TEST(WinportThreadsTest, AffinityAndPriority) {
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    // A valid mask is set and the previous one returned.
    const DWORD_PTR all = SetThreadAffinityMask(GetCurrentThread(), 1);
    ASSERT_NE(all, 0u);
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), all), DWORD_PTR{1});
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), all), all);
}

TEST(WinportThreadsTest, EachThreadHasItsOwnInformationBlockAndSystemName) {
    auto* mine = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    int marker = 0;
    mine->ArbitraryUserPointer = &marker;
    int other = 0;
    HANDLE thread = CreateThread(nullptr, 0, UseOwnSlot, &other, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(mine->ArbitraryUserPointer, &marker);
    mine->ArbitraryUserPointer = nullptr;
    CloseHandle(thread);

    std::string systemName;
    thread = CreateThread(nullptr, 0, ReadOwnSystemName, &systemName, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
    EXPECT_EQ(systemName, "HelpdeskAsyncWi");  // the system keeps 15 bytes
    EXPECT_EQ(SetThreadDescription(thread, L"gone"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
}

}  // namespace
