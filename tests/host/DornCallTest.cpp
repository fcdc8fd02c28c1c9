// dorn call end to end: the real host executable loading the real plug-in library. What the
// layers below decide (texts, codes, parsing) has tests of its own; these check that it reaches
// the output, the exit status and standard error.
#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "UniqueHandle.h"
#include "ChildProcess.h"
#include "FaultInjection.h"
#include "TempDirectory.h"

namespace dorn::test {
namespace {

using nlohmann::json;

const std::string kSamples = std::string(DORN_SOURCE_DIR) + "/samples/";
const std::string kFixtures = std::string(DORN_SOURCE_DIR) + "/tests/fixtures/";
// The plug-in's log lines carry its file name without suffix.
const std::string kPluginSource = DORN_PLUGIN_LOG_SOURCE;

ProcessResult Dorn(std::vector<std::string> arguments) {
    return RunProcess(DORN_EXECUTABLE, arguments);
}

json Reply(const ProcessResult& result) {
    json parsed = json::parse(result.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << result.out;
    return parsed;
}

bool HasLine(const ProcessResult& result, const std::string& line) {
    return result.err.find(line) != std::string::npos;
}

// The reply of a failed request and its exit status: WireContractTest. At the default log level
// only warnings and errors reach standard error.
TEST(DornCallTest, FailedRequestsLogOnlyWarningsAndErrors) {
    const ProcessResult result = Dorn({"call", "--operation", "helpdeskoperation", "ClientInfo"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(Reply(result)["error"]["text"], "no session Id specified");
    EXPECT_TRUE(HasLine(result, "[4] " + kPluginSource + ": ClientInfo: no session Id specified"))
        << result.err;
    EXPECT_FALSE(HasLine(result, "Session Manager Help Desk Service Started")) << result.err;
}

// A run's registry files go into a registry of its own (on Windows a private key that stands
// in for HKEY_LOCAL_MACHINE): the plug-in sees them, the machine's registry never does.
TEST(DornCallTest, RegistryFilesReachThePluginOfThisRunOnly) {
    const auto machineHasKey = [] {
        UniqueRegKey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Zentavo", 0, KEY_READ, key.put()) ==
               ERROR_SUCCESS;
    };
    ASSERT_FALSE(machineHasKey());
    const ProcessResult result =
        Dorn({"call", "--log-level", "1", "--registry", kSamples + "sessions.reg", "--registry",
              kSamples + "settings.reg", "ClientInfo", "SESSIONID=4"});
    // Session 4 has a key only in the file; its whole reply: WireContractTest.
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(HasLine(result, "[1] " + kPluginSource + ": Historical collector was disabled"))
        << result.err;
    EXPECT_TRUE(
        HasLine(result, "[2] " + kPluginSource + ": Session Manager Help Desk Service Started"));
    EXPECT_FALSE(HasLine(result, "Session property: "));  // level 0, below the chosen 1
    EXPECT_FALSE(machineHasKey());

    // A file that does not parse changes nothing: the run stops before the call.
    const TempDirectory files;
    const std::string bad =
        files.Write("bad.reg",
                    "Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Zentavo\\Pallido\\SessionData\\3]\n"
                    "\"KestlClient_Machine_Name\"=\"HALF\"\n\"KestlClient_Type\"=dword:xyz\n");
    const ProcessResult refused = Dorn({"call", "--registry", kSamples + "sessions.reg",
                                        "--registry", bad, "ClientInfo", "SESSIONID=3"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.out.empty());
    EXPECT_TRUE(HasLine(refused, "line 5")) << refused.err;
}

TEST(DornCallTest, RequestAsJson) {
    ProcessResult result =
        Dorn({"call", "--registry", kSamples + "sessions.reg", "--request",
              R"({"opcode": "VexelTelemetry", "SESSIONID": 3, "extra": {"nested": [1, 2]}})"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Reply(result)["reply"]["current_topology"]["topology"],
              "2 monitors: 1920x1080@96 primary, 1920x1080@96 right");

    for (const char* bad : {"[1, 2]", "{\"opcode\": "}) {
        result = Dorn({"call", "--request", bad});
        EXPECT_EQ(result.exitCode, 2) << bad;
        EXPECT_TRUE(result.out.empty()) << bad;
        EXPECT_TRUE(HasLine(result, "--request")) << result.err;
    }
}

// Mistakes found while parsing (tested with the parser) and those found when the run reads its
// files all exit with 2 and print nothing; a plug-in that cannot be loaded exits with 1.
TEST(DornCallTest, UsageErrors) {
    EXPECT_EQ(Dorn({"--help"}).exitCode, 0);  // its text: CommandLineTest
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"call", "--log-level", "9", "ClientInfo"},
             {"call", "--sessions", kSamples + "sessions.reg", "Bogus"}}) {
        const ProcessResult result = Dorn(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_TRUE(HasLine(Dorn({"call", "--perfmon-interval", "-1", "Bogus"}),
                        "--perfmon-interval takes seconds from 1 to 86400"));
    // A plug-in that is a pipe is refused before the loader could wait on it.
    const TempDirectory directory;
    std::vector<std::string> plugins = NonRegularFiles(directory.Path());
    plugins.push_back("/nonexistent/lib.so");
    for (const std::string& plugin : plugins) {
        const ProcessResult refused = Dorn({"call", "--plugin", plugin, "Bogus"});
        EXPECT_EQ(refused.exitCode, 1) << plugin;
        EXPECT_TRUE(HasLine(refused, "cannot load the plug-in " + plugin + ": ")) << refused.err;
    }
}

// Every option that names a file takes only a regular file of at most 64 MiB: anything else is
// refused with the option, the path and the reason, without blocking on a pipe or reading an
// endless device.
TEST(DornCallTest, FileOptionsRefuseWhatIsNoRegularFile) {
    TempDirectory directory;
    const std::string large = directory.Path("large");
    std::ofstream(large, std::ios::binary).close();
    std::filesystem::resize_file(large, 64 * 1024 * 1024 + 1);  // sparse: no space taken
    std::vector<std::pair<std::string, std::string>> files = {
        {directory.Path().string(), "not a regular file"},
        {large, "the file is larger than 64 MiB"},
        {directory.Path("missing"), "cannot open"}};
    for (const std::string& special : NonRegularFiles(directory.Path())) {
        files.emplace_back(special, "not a regular file");
    }
    std::vector<std::string> options = {"--registry"};
    if (HasLinuxApiLayer()) options.insert(options.end(), {"--counters", "--sessions"});
    for (const std::string& option : options) {
        for (const auto& [path, reason] : files) {
            const ProcessResult result = Dorn({"call", option, path, "ClientInfo"});
            EXPECT_EQ(result.exitCode, 2) << option << " " << path << ": " << result.err;
            EXPECT_TRUE(HasLine(result, option)) << result.err;
            EXPECT_TRUE(HasLine(result, path + ": " + reason)) << result.err;
            EXPECT_EQ(result.out, "");
        }
    }
}

// The plug-in found the host's performance monitor while it started, and the collection thread
// answered with samples. The reply's shape: PerformanceCollectorTest and WireContractTest.
TEST(DornCallTest, PerformanceFindsTheHostsMonitor) {
    const ProcessResult result = Dorn({"call", "--log-level", "1", "Performance"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Reply(result)["reply"]["metrics"].contains("metric")) << result.out;
    EXPECT_TRUE(HasLine(result, "quillmesh: Worker added: perfmon")) << result.err;
    EXPECT_FALSE(HasLine(result, "perfmon cannot be loaded")) << result.err;
}

}  // namespace
}  // namespace dorn::test
