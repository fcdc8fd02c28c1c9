// The load and unload hooks as the system calls them: a child process loads the plug-in and a
// probe library that reports its DllMain calls, then unloads them or simply exits.
#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"

namespace dorn::test {
namespace {

ProcessResult RunUnloadProbe(const char* mode) {
    return RunProcess(UNLOAD_PROBE_PATH, {DORN_PLUGIN_PATH, DETACH_PROBE_PATH, mode});
}

bool Has(const ProcessResult& result, const std::string& line) {
    return result.out.find(line + "\n") != std::string::npos;
}

TEST(UnloadHooksTest, FreeLibraryRemovesTheWorkerProcessExitLeavesItAlone) {
    const ProcessResult freed = RunUnloadProbe("free");
    ASSERT_EQ(freed.exitCode, 0) << freed.out << freed.err;
    EXPECT_TRUE(Has(freed, "[1] quillmesh: Worker added: AgentHelpDesk")) << freed.out;
    EXPECT_TRUE(Has(freed, "probe: attach"));
    const size_t probeDetach = freed.out.find("probe: detach, reserved null\n");
    const size_t removed = freed.out.find("[1] quillmesh: Worker removed: AgentHelpDesk\n");
    const size_t unloaded = freed.out.find("unload_probe: unloaded\n");
    ASSERT_NE(probeDetach, std::string::npos) << freed.out;
    ASSERT_NE(removed, std::string::npos) << freed.out;
    EXPECT_LT(probeDetach, removed);
    EXPECT_LT(removed, unloaded);
    EXPECT_FALSE(Has(freed, "probe: detach, reserved set"));

    const ProcessResult exited = RunUnloadProbe("exit");
    ASSERT_EQ(exited.exitCode, 0) << exited.out << exited.err;
    EXPECT_TRUE(Has(exited, "[1] quillmesh: Worker added: AgentHelpDesk")) << exited.out;
    EXPECT_TRUE(Has(exited, "probe: detach, reserved set")) << exited.out;
    EXPECT_FALSE(Has(exited, "probe: detach, reserved null"));
    EXPECT_EQ(exited.out.find("Worker removed"), std::string::npos) << exited.out;
}

}  // namespace
}  // namespace dorn::test
