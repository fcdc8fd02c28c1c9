// The plug-in library as the host loads it: the load hook names the log source, PluginInit
// registers the worker, and only a dynamic unload removes it again.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "UniqueHandle.h"
#include "LibraryHooks.h"
#include "LogCapture.h"
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
    LogCapture log;
    UniqueModule plugin(LoadLibraryW(PluginPath().c_str()));
    ASSERT_TRUE(plugin) << "error " << GetLastError();

    // PluginInit is the one export; the plug-in's own functions stay inside.
    const FARPROC init = GetProcAddress(plugin.get(), "PluginInit");
    ASSERT_NE(init, nullptr);
    for (const char* hidden : {"DllMain", "LogMessage", "OnProcessAttach", "GetSettingsKey"}) {
        EXPECT_EQ(GetProcAddress(plugin.get(), hidden), nullptr) << hidden;
    }
    ASSERT_TRUE(reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(init))());

    const auto records = log.Records();
    const auto started =
        std::find_if(records.begin(), records.end(), [](const quillmesh::LogRecord& record) {
            return record.message == L"Session Manager Help Desk Service Started";
        });
    ASSERT_NE(started, records.end());
    EXPECT_EQ(started->level, 2);
    const std::string source = DORN_PLUGIN_LOG_SOURCE;
    EXPECT_EQ(started->source, std::wstring(source.begin(), source.end()));  // from the load hook

    EXPECT_TRUE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));
    CORE::PropertyBag reply;
    EXPECT_EQ(SendToHelpDesk(Request(L"Bogus"), reply, 10000), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"Invalid opcode");

    ASSERT_TRUE(FreeLibrary(plugin.release()));
    EXPECT_FALSE(CORE::Quillmesh::System()->IsWorkerInstalled(kWorker, 0));
    CORE::PropertyBag after;
    EXPECT_EQ(SendToHelpDesk(Request(L"Bogus"), after, 10000), CORE::ResponseNoWorker);
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
