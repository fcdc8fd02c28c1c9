// The plug-in library unloaded while its collection thread samples: the thread is gone
// afterwards and nothing of it is left behind (the sanitizer builds check the leaks).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "UniqueHandle.h"
#include "quillmesh/Framework.h"
#include "MonitorStub.h"
#include "LogCapture.h"
#include "Waiting.h"
#include "ThreadQueries.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

std::wstring PluginPath() {
    const std::string path = DORN_PLUGIN_PATH;
    return std::wstring(path.begin(), path.end());
}

std::string Describe(const std::set<DWORD>& ids) {
    std::string text;
    for (DWORD id : ids) text += std::to_string(id) + ":" + SystemThreadName(id) + " ";
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
    const std::set<DWORD> before = ProcessThreadIds();
    MonitorStub monitor;

    UniqueModule plugin(LoadLibraryW(PluginPath().c_str()));
    ASSERT_TRUE(plugin) << "error " << GetLastError();
    const FARPROC init = GetProcAddress(plugin.get(), "PluginInit");
    ASSERT_NE(init, nullptr);
    ASSERT_TRUE(reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(init))());
    // PluginInit told the monitor what to push.
    ASSERT_EQ(monitor.Messages().size(), 1u);
    EXPECT_EQ(monitor.Messages()[0].first, L"configPerfmonMetrics");

    // The collection thread runs once a reply carries a sample.
    CORE::PropertyBag request = Request(L"Performance");
    request.addInt(L"type", 1);
    EXPECT_TRUE(WaitUntil([&] {
        CORE::PropertyBag reply;
        return SendToHelpDesk(request, reply, 30000) == CORE::ResponseOk &&
               reply.getBag(L"metrics").contains(L"metric");
    }));

    CORE::Quillmesh::System()->Shutdown();
    const std::set<DWORD> collecting = ProcessThreadIds();
    std::set<DWORD> added;
    std::set_difference(collecting.begin(), collecting.end(), before.begin(), before.end(),
                        std::inserter(added, added.end()));
    ASSERT_FALSE(added.empty()) << "no collection thread";

    // Where the system keeps ended threads' records (Windows), the unload has ended the
    // collection thread by the time FreeLibrary returns: stopped, parked outside every lock,
    // then terminated (0xFFFFFFFF). How long the unload took is printed for comparison only.
    const auto unloadStart = std::chrono::steady_clock::now();
    const std::map<DWORD, DWORD> ended =
        ExitCodesAfter(added, [&] { ASSERT_TRUE(FreeLibrary(plugin.release())); });
    std::printf("unload with a collection thread running: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - unloadStart)
                                           .count()));
    if (KeepsThreadRecords()) {
        EXPECT_FALSE(ended.empty()) << "still running after the unload: " << Describe(added);
        for (const auto& [id, code] : ended) EXPECT_EQ(code, 0xFFFFFFFFu) << id;
    }

    // The collection thread has returned from the plug-in's code when FreeLibrary returns; the
    // system thread under it may take a moment more to be gone.
    std::set<DWORD> after;
    EXPECT_TRUE(WaitUntil(
        [&] {
            after = ProcessThreadIds();
            return std::includes(before.begin(), before.end(), after.begin(), after.end());
        },
        std::chrono::seconds(5)))
        << "threads before: " << before.size() << ", after unload: " << after.size() << " "
        << Describe(after);
}

}  // namespace
}  // namespace dorn::test
