// The plug-in library as the host loads it: PluginInit registers the worker, and only a dynamic
// unload removes it again. The start line with the log source the load hook names, and requests
// through the registered worker: DornCallTest.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "UniqueHandle.h"
#include "LibraryHooks.h"
#include "TestRegistry.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

constexpr const wchar_t* kWorker = L"AgentHelpDesk";

// PluginInit would wait up to two minutes for the performance monitor, which these tests do not
// run; the historical collector has tests of its own.
class PluginLoadTest : public ::testing::Test {
  protected:
    PluginLoadTest() { SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"1"); }
    RegistrySandbox m_registry;
};

std::wstring PluginPath() {
    const std::string path = DORN_PLUGIN_PATH;
    return std::wstring(path.begin(), path.end());
}

TEST_F(PluginLoadTest, LoadedLibraryRegistersTheWorkerAndUnloadRemovesIt) {
    UniqueModule plugin(LoadLibraryW(PluginPath().c_str()));
    ASSERT_TRUE(plugin) << "error " << GetLastError();

    // PluginInit is the one export; the plug-in's own functions stay inside.
    const FARPROC init = GetProcAddress(plugin.get(), "PluginInit");
    ASSERT_NE(init, nullptr);
    for (const char* hidden : {"DllMain", "LogMessage", "OnProcessAttach", "GetSettingsKey"}) {
        EXPECT_EQ(GetProcAddress(plugin.get(), hidden), nullptr) << hidden;
    }
    ASSERT_TRUE(reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(init))());
    EXPECT_TRUE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));

    ASSERT_TRUE(FreeLibrary(plugin.release()));
    EXPECT_FALSE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));
}

TEST_F(PluginLoadTest, OnlyADynamicUnloadRemovesTheWorker) {
    ASSERT_TRUE(PluginInit());
    ASSERT_TRUE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));

    // Process exit: the reserved argument is not null and the framework is left alone.
    OnProcessDetach(reinterpret_cast<LPVOID>(1));
    EXPECT_TRUE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));

    OnProcessDetach(nullptr);
    EXPECT_FALSE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));
}

}  // namespace
}  // namespace dorn::test
