// The plug-in library unloaded while its collection thread samples: the thread is gone
// afterwards and nothing of it is left behind (the sanitizer builds check the leaks).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "plugin/quillmesh/Framework.h"
#include "tests/metrics/MonitorStub.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Waiting.h"

namespace dorn::test {
namespace {

std::wstring PluginPath() {
    const std::string path = DORN_PLUGIN_PATH;
    return std::wstring(path.begin(), path.end());
}

// The threads of this process, by id.
std::set<std::string> Threads() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

std::string Describe(const std::set<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) {
        std::ifstream comm("/proc/self/task/" + id + "/comm");
        std::string name;
        std::getline(comm, name);
        text += id + ":" + name + " ";
    }
    return text;
}

TEST(CollectorUnloadTest, UnloadMidCollectionLeavesNoThreadRunning) {
    LogCapture log;
    // The framework's delivery threads come and go with Shutdown (which also forgets every
    // worker); only the plug-in's may differ.
    CORE::Quillmesh::System()->Shutdown();
    // A sanitizer runtime starts a helper thread of its own with the process's first thread;
    // let that happen before the count is taken.
    std::thread([] {}).join();
    const std::set<std::string> before = Threads();
    MonitorStub monitor;

    HMODULE plugin = LoadLibraryW(PluginPath().c_str());
    ASSERT_NE(plugin, nullptr) << "error " << GetLastError();
    const FARPROC init = GetProcAddress(plugin, "PluginInit");
    ASSERT_NE(init, nullptr);
    ASSERT_TRUE(reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(init))());
    // PluginInit told the monitor what to push.
    ASSERT_EQ(monitor.Messages().size(), 1u);
    EXPECT_EQ(monitor.Messages()[0].first, L"configPerfmonMetrics");

    CORE::PropertyBag request = Request(L"Performance");
    request.addInt(L"type", 1);
    CORE::PropertyBag reply;
    ASSERT_EQ(SendToHelpDesk(request, reply, 30000), CORE::ResponseOk)
        << std::wstring(reply.getErrorText());
    EXPECT_TRUE(reply.getBag(L"metrics").contains(L"metric"));

    CORE::Quillmesh::System()->Shutdown();
    const std::set<std::string> collecting = Threads();
    EXPECT_GT(collecting.size(), before.size());  // the collection thread runs

    ASSERT_TRUE(FreeLibrary(plugin));
    // The collection thread has returned from the plug-in's code when FreeLibrary returns; the
    // system thread under it may take a moment more to be gone.
    std::set<std::string> after;
    EXPECT_TRUE(WaitUntil(
        [&] {
            after = Threads();
            return std::includes(before.begin(), before.end(), after.begin(), after.end());
        },
        std::chrono::seconds(5)))
        << "threads before: " << before.size() << ", after unload: " << after.size() << " "
        << Describe(after);
}

}  // namespace
}  // namespace dorn::test
