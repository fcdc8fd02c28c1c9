// Every opcode's answer as the console receives it, end to end through dorn call: the keys in
// order, and each value's JSON kind ("text", "integer", "bool", a nested object, or a list
// written once for all its elements). Integer widths are pinned where the replies are built;
// here a value that changed kind, a key renamed or moved, or a lost entry fails. (Session 4's
// values are written in name order, the order in which Wine enumerates them.)
#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FaultInjection.h"

namespace dorn::test {
namespace {

using Json = nlohmann::ordered_json;

const std::string kSamples = std::string(DORN_SOURCE_DIR) + "/samples/";
const std::string kFixtures = std::string(DORN_SOURCE_DIR) + "/tests/fixtures/";

// The value with every leaf replaced by its kind. A list whose elements all have one shape is
// that shape in a one-element list, so a list of processes compares whatever its length.
Json Kinds(const Json& value) {
    if (value.is_object()) {
        Json shape = Json::object();
        for (const auto& [key, item] : value.items()) shape[key] = Kinds(item);
        return shape;
    }
    if (value.is_array()) {
        Json shapes = Json::array();
        for (const Json& item : value) {
            const Json shape = Kinds(item);
            if (shapes.empty() || shapes.back() != shape) shapes.push_back(shape);
        }
        return shapes;
    }
    if (value.is_string()) return "text";
    if (value.is_boolean()) return "bool";
    if (value.is_number_integer()) return "integer";
    return "other: " + value.dump();
}

Json Call(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"call", "--perfmon-interval", "86400"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const ProcessResult result = RunProcess(DORN_EXECUTABLE, command);
    const Json reply = Json::parse(result.out, nullptr, false);
    EXPECT_FALSE(reply.is_discarded()) << "not JSON: " << result.out << result.err;
    EXPECT_EQ(result.exitCode, reply.value("result", false) ? 0 : 1) << result.err;
    return reply;
}

struct WireCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* expected;  // the whole answer, or its kinds where `kindsOnly`
    bool kindsOnly = false;
};

const std::vector<std::string> kSessions = {"--registry", kSamples + "sessions.reg"};

std::vector<std::string> With(std::vector<std::string> first,
                              const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

TEST(WireContractTest, EveryOpcodesAnswerKeepsItsKeysOrderAndKinds) {
    const std::vector<WireCase> cases = {
        {"ClientInfo", With(kSessions, {"ClientInfo", "SESSIONID=4"}),
         R"({"result": true, "reply": {"client_info": {"ipaddr": "203.0.113.80",
             "machine_name": "KIOSK-12", "protocol": "PCOIP", "type": "Linux"}}})"},
        {"LogonTimeInfo", With(kSessions, {"LogonTimeInfo", "SESSIONID=3"}),
         R"({"result": true, "reply": {"logon_time":
             "bG9nb249NDIxMW1zO2dwbz0xMjEwbXM7cHJvZmlsZT0yMDMwbXM7c2hlbGw9OTcxbXM="}})"},
        {"LogonTimeInfo, empty value", With(kSessions, {"LogonTimeInfo", "SESSIONID=4"}),
         R"({"result": true, "reply": {"logon_time": ""}})"},
        {"VexelTelemetry", With(kSessions, {"VexelTelemetry", "SESSIONID=3"}),
         R"({"result": true, "reply": {"current_topology": {"topology":
             "2 monitors: 1920x1080@96 primary, 1920x1080@96 right"}}})"},
        {"VexelTelemetry, no key", With(kSessions, {"VexelTelemetry", "SESSIONID=4"}),
         R"({"result": false, "error": {"code": 0, "text": "failed to get vexel telemetry"},
             "reply": {}})"},
        {"HistoricalMetrics before any push",
         {"HistoricalMetrics", "SESSIONID=3"},
         R"({"result": true, "reply": {}})"},
        {"NewDataFromTrelPerfmon",
         {"NewDataFromTrelPerfmon", "overall_cpu=5"},
         R"({"result": true, "reply": {}})"},
        {"ProcessMetrics",
         {"ProcessMetrics"},
         R"({"result": "bool", "reply": {"processMetrics": {"process": [{"id": "integer",
             "create_time": "integer", "name": "text", "cpu": "integer", "mem": "integer",
             "disk": "integer", "user_name": "text", "session_id": "integer"}],
             "timestamp": "integer"}}})",
         true},
        {"Performance, processes",
         {"Performance", "type=2"},
         R"({"result": "bool", "reply": {"timestamp": "integer", "metrics": {"processMetrics":
             {"process": [{"id": "integer", "create_time": "integer", "name": "text",
             "cpu": "integer", "mem": "integer", "disk": "integer", "user_name": "text",
             "session_id": "integer"}]}}}})",
         true},
        {"Performance, nothing asked",
         {"Performance", "type=0"},
         R"({"result": "bool", "reply": {"timestamp": "integer", "metrics": {}}})",
         true},
        {"EndProcess, stale name",
         {"EndProcess", "processId=" + std::to_string(GetCurrentProcessId()), "createTime=0",
          "processName=not-this-one"},
         R"({"result": false, "reply": {}})"},
        {"another operation",
         {"--operation", "HelpdeskOperations", "ClientInfo", "SESSIONID=3"},
         R"({"result": false, "error": {"code": 120, "text": ""}, "reply": {}})"},
        {"unknown opcode",
         {"clientinfo", "SESSIONID=3"},
         R"({"result": false, "error": {"code": 0, "text": "Invalid opcode"}, "reply": {}})"},
    };
    for (const WireCase& wire : cases) {
        SCOPED_TRACE(wire.name);
        const Json answer = Call(wire.arguments);
        const Json expected = Json::parse(wire.expected);
        EXPECT_EQ(wire.kindsOnly ? Kinds(answer) : answer, expected) << answer.dump();
    }
}

// The display protocols' counters come from counter files and declared sessions, which only
// the Linux API layer offers. Values are the fixtures' truncated toward zero, in the order of
// the counters' keys, with the encoder's name last.
TEST(WireContractTest, ProtocolInfoAnswersInCounterKeyOrder) {
    if (!HasLinuxApiLayer()) {
        GTEST_SKIP() << "counter files and declared sessions (--counters, --sessions) need the "
                        "Linux API layer";
    }
    const std::vector<std::string> sources =
        With(kSessions, {"--sessions", kFixtures + "counters/sessions.json", "--counters",
                         kFixtures + "counters/protocol-counters.json", "ProtocolInfo"});
    EXPECT_EQ(Call(With(sources, {"SESSIONID=3"})), Json::parse(R"({"result": true, "reply":
        {"protocol": {"vexel": {"audio_recv_bytes": 48213, "audio_transmit_bytes": 1290331,
        "cdr_recv_bytes": 1024, "cdr_transmit_bytes": 4096, "image_frames_per_second": 29,
        "image_recv_bytes": 52311, "image_transmit_bytes": 88123455,
        "session_bandwidth_uplink": 85000, "session_inst_recv_bytes_tcp": 0,
        "session_inst_recv_bytes_udp": 8123, "session_inst_transmit_bytes_tcp": 0,
        "session_inst_transmit_bytes_udp": 310233, "session_packet_loss_uplink": 0,
        "session_rtt": 12, "session_transmit_bytes": 90431210,
        "image_encode_type": "NVIDIA NvEnc H264 4:2:0"}}}})"));
    EXPECT_EQ(Call(With(sources, {"SESSIONID=4"})), Json::parse(R"({"result": true, "reply":
        {"protocol": {"pcoip": {"audio_recv_bytes": 0, "audio_sent_bytes": 330122,
        "audio_rxbw_rate": 0, "audio_txbw_limit_rate": 1600, "audio_txbw_rate": 64,
        "general_recv_bytes": 1200333, "general_sent_bytes": 98000111,
        "general_recv_packets": 40123, "general_sent_packets": 120456,
        "general_rx_packets_lost": 3, "general_duration": 3605, "general_tx_packets_lost": 17,
        "img_min_quality": 40, "img_apex2800": 0, "img_recv_bytes": 2300,
        "img_sent_bytes": 91000222, "img_decoder_capability": 200000, "img_encoded_frames": 24,
        "img_megapixel": 18, "img_nack": 2, "img_rxbw_rate": 1, "img_svgadevtap": 0,
        "img_txbw_rate": 3900, "net_rxbw_peek_rate": 900, "net_rxbw_rate": 120,
        "net_rx_packets_loss": 0, "net_rtl": 41, "net_txbw_active_limit_rate": 90000,
        "net_txbw_limit_rate": 90000, "net_txbw_rate": 4200, "net_tx_packets_loss": 0,
        "usb_recv_bytes": 0, "usb_sent_bytes": 0, "usb_rxbw_rate": 0, "usb_txbw_rate": 0}}}})"));
    // A session the registry knows nothing of has no protocol.
    EXPECT_EQ(Call(With(sources, {"SESSIONID=9"})), Json::parse(R"({"result": false, "error":
        {"code": 0, "text": "failed to get protocol metrics"}, "reply": {}})"));
}

}  // namespace
}  // namespace dorn::test
