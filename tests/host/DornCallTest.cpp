// dorn call end to end: the real host executable loading the real plug-in library.
#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/FaultInjection.h"

namespace dorn::test {
namespace {

using nlohmann::json;

const std::string kSamples = std::string(DORN_SOURCE_DIR) + "/samples/";
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

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        m_path = std::filesystem::temp_directory_path() /
                 ("dorn-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++s_count) + ".reg");
        std::ofstream(m_path, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove(m_path); }
    std::string Path() const { return m_path.string(); }

private:
    static inline int s_count = 0;
    std::filesystem::path m_path;
};

TEST(DornCallTest, UnknownOpcodeAndOperation) {
    ProcessResult result = Dorn({"call", "Bogus"});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    json reply = Reply(result);
    EXPECT_EQ(reply["result"], false);
    EXPECT_EQ(reply["error"]["text"], "Invalid opcode");
    EXPECT_TRUE(reply["reply"].empty());

    result = Dorn({"call", "--operation", "Nope", "ClientInfo"});
    EXPECT_EQ(result.exitCode, 1);
    reply = Reply(result);
    EXPECT_EQ(reply["error"]["code"], 120);
    EXPECT_EQ(reply["error"]["text"], "");
}

TEST(DornCallTest, MissingSessionIdIsAnsweredAndLoggedOnStderr) {
    const ProcessResult result = Dorn({"call", "--operation", "helpdeskoperation", "ClientInfo"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(Reply(result)["error"]["text"], "no session Id specified");
    EXPECT_NE(result.err.find("[4] " + kPluginSource + ": ClientInfo: no session Id specified"),
              std::string::npos)
        << result.err;
    // A text session id is no session id.
    EXPECT_EQ(Reply(Dorn({"call", "ClientInfo", "SESSIONID=three"}))["error"]["text"],
              "no session Id specified");
}

TEST(DornCallTest, RegistryFilesReachThePlugin) {
    ProcessResult result =
        Dorn({"call", "--registry", kSamples + "sessions.reg", "ClientInfo", "SESSIONID=3"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    json reply = Reply(result);
    EXPECT_EQ(reply["result"], true);
    const json& info = reply["reply"]["client_info"];
    EXPECT_EQ(info.size(), 40u);
    EXPECT_EQ(info["machine_name"], "ALICE-LAPTOP");
    EXPECT_EQ(info.begin().key(), "broker_dns_name");  // the registry's order
    EXPECT_NE(result.err.find("Failed to find session name KestlClient_Session_Color_Depth"),
              std::string::npos);

    result = Dorn({"call", "--registry", kSamples + "sessions.reg", "ClientInfo", "SESSIONID=4"});
    reply = Reply(result);
    EXPECT_EQ(reply["reply"]["client_info"],
              json::parse(R"({"ipaddr": "203.0.113.80", "machine_name": "KIOSK-12",
                              "type": "Linux", "protocol": "PCOIP"})"));

    result = Dorn({"call", "--registry", kSamples + "sessions.reg", "LogonTimeInfo", "SESSIONID=4"});
    EXPECT_EQ(Reply(result)["reply"]["logon_time"], "");
    result = Dorn({"call", "--registry", kSamples + "sessions.reg", "VexelTelemetry", "SESSIONID=4"});
    EXPECT_EQ(Reply(result)["error"]["text"], "failed to get vexel telemetry");
    result = Dorn({"call", "--registry", kSamples + "sessions.reg", "ClientInfo", "SESSIONID=5"});
    EXPECT_EQ(Reply(result)["error"]["text"], "failed to get client info");
}

TEST(DornCallTest, MalformedRegistryFileChangesNothingAndIsAUsageError) {
    const TempFile bad(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Zentavo\\Pallido\\SessionData\\3]\n"
        "\"KestlClient_Machine_Name\"=\"HALF\"\n"
        "\"KestlClient_Type\"=dword:xyz\n");
    const ProcessResult result = Dorn({"call", "--registry", kSamples + "sessions.reg",
                                       "--registry", bad.Path(), "ClientInfo", "SESSIONID=3"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.out.empty());
    EXPECT_NE(result.err.find("line 5"), std::string::npos) << result.err;
}

TEST(DornCallTest, RequestAsJson) {
    ProcessResult result =
        Dorn({"call", "--registry", kSamples + "sessions.reg", "--request",
              R"({"opcode": "VexelTelemetry", "SESSIONID": 3, "extra": {"nested": [1, 2]}})"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Reply(result)["reply"]["current_topology"]["topology"],
              "2 monitors: 1920x1080@96 primary, 1920x1080@96 right");

    for (const char* bad : {"[1, 2]", "{\"opcode\": ", "\"ClientInfo\"", "{\"SESSIONID\": 1.5}"}) {
        result = Dorn({"call", "--request", bad});
        EXPECT_EQ(result.exitCode, 2) << bad;
        EXPECT_TRUE(result.out.empty()) << bad;
        EXPECT_NE(result.err.find("--request"), std::string::npos) << result.err;
    }
}

TEST(DornCallTest, LogLevelSelectsWhatReachesStderr) {
    const std::vector<std::string> call = {"--registry", kSamples + "sessions.reg", "ClientInfo",
                                           "SESSIONID=4"};
    std::vector<std::string> quiet = {"call"};
    quiet.insert(quiet.end(), call.begin(), call.end());
    EXPECT_EQ(Dorn(quiet).err.find("Session property"), std::string::npos);

    std::vector<std::string> verbose = {"call", "--log-level", "0"};
    verbose.insert(verbose.end(), call.begin(), call.end());
    const ProcessResult result = Dorn(verbose);
    EXPECT_NE(result.err.find("[0] " + kPluginSource +
                                  ": Session property: KestlClient_Type, value: Linux"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("[2] " + kPluginSource + ": Session Manager Help Desk Service Started"),
              std::string::npos);
}

TEST(DornCallTest, UsageErrors) {
    EXPECT_EQ(Dorn({"--help"}).exitCode, 0);
    EXPECT_NE(Dorn({"--help"}).out.find("dorn call [OPTIONS] OPCODE [KEY=VALUE]..."), std::string::npos);
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"call"},
             {"frobnicate"},
             {"call", "--log-level", "9", "ClientInfo"},
             {"call", "--bogus", "ClientInfo"},
             {"call", "ClientInfo", "SESSIONID"},
             {"call", "--request", "{}", "ClientInfo"},
             {"call", "--registry"},
             {"call", "--registry", "/nonexistent/file.reg", "ClientInfo"},
             {"call", "--counters", "/nonexistent/counters.json", "Bogus"},
             {"call", "--sessions", kSamples + "sessions.reg", "Bogus"}}) {
        const ProcessResult result = Dorn(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    const ProcessResult missingPlugin = Dorn({"call", "--plugin", "/nonexistent/lib.so", "Bogus"});
    EXPECT_EQ(missingPlugin.exitCode, 1);
    EXPECT_NE(missingPlugin.err.find("cannot load the plug-in"), std::string::npos);
}

// The collection thread answers the first request after about 2 s with the samples taken
// meanwhile; the plug-in found the host's performance monitor while it started.
TEST(DornCallTest, PerformanceReportsSamplesAndTheNewestProcesses) {
    const ProcessResult result = Dorn({"call", "--log-level", "1", "Performance"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json reply = Reply(result);
    ASSERT_EQ(reply["result"], true);
    EXPECT_TRUE(reply["reply"]["timestamp"].is_number_unsigned());
    const json& metrics = reply["reply"]["metrics"];
    // Normally two samples (one at once, one a second later); a single one is an object. A
    // machine loaded enough to make the first cycle last over a second gives one.
    ASSERT_TRUE(metrics.contains("metric")) << metrics.dump();
    const json samples =
        metrics["metric"].is_array() ? metrics["metric"] : json::array({metrics["metric"]});
    EXPECT_LE(samples.size(), 3u);
    for (const json& sample : samples) {
        EXPECT_TRUE(sample["cpu"].is_number_integer()) << sample.dump();
        EXPECT_TRUE(sample["mem"].is_number_integer()) << sample.dump();
        if (sample.contains("disk")) {
            EXPECT_GE(sample["disk"], 0);
        }
    }
    const json& processes = metrics["processMetrics"]["process"];
    ASSERT_TRUE(processes.is_array());
    EXPECT_FALSE(processes.empty());
    EXPECT_EQ(processes[0].size(), 8u);
    EXPECT_NE(result.err.find("quillmesh: Worker added: perfmon"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("perfmon cannot be loaded"), std::string::npos) << result.err;

    for (const char* interval : {"0", "-1", "86401", "soon"}) {
        const ProcessResult refused = Dorn({"call", "--perfmon-interval", interval, "Performance"});
        EXPECT_EQ(refused.exitCode, 2) << interval;
        EXPECT_NE(refused.err.find("--perfmon-interval takes seconds from 1 to 86400"),
                  std::string::npos)
            << refused.err;
    }
}

TEST(DornCallTest, ProtocolInfoReportsTheSessionsProtocolCounters) {
    if (!HasLinuxApiLayer()) {
        GTEST_SKIP() << "counter files and declared sessions (--counters, --sessions) need the "
                        "Linux API layer";
    }
    const std::string fixtures = std::string(DORN_SOURCE_DIR) + "/tests/fixtures/";
    const std::vector<std::string> common = {
        "call", "--registry", kSamples + "settings.reg", "--sessions",
        fixtures + "counters/sessions.json"};

    std::vector<std::string> vexel = common;
    vexel.insert(vexel.end(), {"--registry", kSamples + "sessions.reg", "--counters",
                               fixtures + "counters/protocol-counters.json", "ProtocolInfo",
                               "SESSIONID=3"});
    ProcessResult result = Dorn(vexel);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    json reply = Reply(result);
    EXPECT_EQ(reply["reply"]["protocol"]["vexel"]["image_encode_type"], "NVIDIA NvEnc H264 4:2:0");
    EXPECT_EQ(reply["reply"]["protocol"]["vexel"]["session_rtt"], 12);

    std::vector<std::string> pcoip = common;
    pcoip.insert(pcoip.end(), {"--registry", fixtures + "protocol/pcoip-session3.reg", "--counters",
                               fixtures + "protocol/pcoip-session3-counters.json", "ProtocolInfo",
                               "SESSIONID=3"});
    result = Dorn(pcoip);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    reply = Reply(result);
    EXPECT_EQ(reply["reply"]["protocol"]["pcoip"]["net_rtl"], 23);
    EXPECT_EQ(reply["reply"]["protocol"]["pcoip"]["general_sent_bytes"], 7000);

    result = Dorn({"call", "--registry", kSamples + "settings.reg", "ProtocolInfo"});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(Reply(result)["error"]["text"], "no session Id specified");
}

bool MachineKeyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A run's registry files go into a registry of its own (on Windows a private key that stands
// in for HKEY_LOCAL_MACHINE): the plug-in sees them, the machine's registry never does.
TEST(DornCallTest, RegistryFilesReachOnlyTheRunThatLoadsThem) {
    ASSERT_FALSE(MachineKeyExists(L"Software\\Zentavo"));
    const ProcessResult result =
        Dorn({"call", "--log-level", "1", "--registry", kSamples + "sessions.reg", "--registry",
              kSamples + "settings.reg", "ClientInfo", "SESSIONID=3"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Reply(result)["reply"]["client_info"]["machine_name"], "ALICE-LAPTOP");
    EXPECT_NE(result.err.find("[1] " + kPluginSource + ": Historical collector was disabled"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(MachineKeyExists(L"Software\\Zentavo"));
}

}  // namespace
}  // namespace dorn::test
