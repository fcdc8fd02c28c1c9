// The DllMain glue: attach on load, detach with a null reserved argument on FreeLibrary and a
// non-null one at process exit. (The plug-in's DllMain never refuses to attach.)
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "Paths.h"

namespace {

struct DllMainCall {
    HINSTANCE instance;
    DWORD reason;
    bool reservedSet;
};

// Never destroyed: at exit the probe's DllMain runs after this program's statics are gone.
struct Recorder {
    std::mutex mutex;
    std::vector<DllMainCall> calls;
};
Recorder& Calls() {
    static auto* recorder = new Recorder();
    return *recorder;
}

std::vector<DllMainCall> TakeCalls() {
    std::lock_guard lock(Calls().mutex);
    return std::exchange(Calls().calls, {});
}

const std::wstring& ProbePath() {
    static const std::wstring path = winport::ToWindowsPath(DLLMAIN_PROBE_PATH);
    return path;
}

}  // namespace

// Called by the probe library's DllMain.
extern "C" __attribute__((visibility("default"))) void RecordDllMainCall(HINSTANCE instance,
                                                                         DWORD reason,
                                                                         LPVOID reserved) {
    std::lock_guard lock(Calls().mutex);
    Calls().calls.push_back({instance, reason, reserved != nullptr});
}

namespace {

class DllMainGlueTest : public ::testing::Test {
  protected:
    void SetUp() override { TakeCalls(); }
};

TEST_F(DllMainGlueTest, LoadAttachesAndFreeLibraryDetachesWithNullReserved) {
    const HMODULE module = LoadLibraryW(ProbePath().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    std::vector<DllMainCall> seen = TakeCalls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, module);
    EXPECT_EQ(seen[0].reason, DWORD{DLL_PROCESS_ATTACH});
    EXPECT_FALSE(seen[0].reservedSet);
    // Exports and the module's file name, as the host and the load hook use them: PluginLoadTest
    // and DornCallTest (the log source).

    // A second load only counts a reference; the last FreeLibrary detaches.
    ASSERT_EQ(LoadLibraryW(ProbePath().c_str()), module);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(TakeCalls().empty());
    ASSERT_TRUE(FreeLibrary(module));
    seen = TakeCalls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, module);
    EXPECT_EQ(seen[0].reason, DWORD{DLL_PROCESS_DETACH});
    EXPECT_FALSE(seen[0].reservedSet);
}

// The probe says so on standard error, which the death test reads.
TEST_F(DllMainGlueTest, ProcessExitDetachesWithNonNullReserved) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (LoadLibraryW(ProbePath().c_str()) == nullptr) std::_Exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "dllmain_probe: detached at process exit");
}

}  // namespace
