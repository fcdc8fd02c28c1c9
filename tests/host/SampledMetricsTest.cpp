#include "SampledMetrics.h"

#include <gtest/gtest.h>

#include "BagJson.h"

namespace dorn::test {
namespace {

CORE::PropertyBag BagOf(const std::string& json) {
    CORE::PropertyBag bag;
    std::string error;
    EXPECT_TRUE(dorn::JsonToBag(json, bag, error)) << error;
    return bag;
}

struct Row {
    std::string family;
    const char* type;
    std::string labels;
    double value;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.family << " " << row.type << " {" << row.labels << "} " << row.value;
}

const char* TypeName(MetricType type) {
    return type == MetricType::Counter ? "counter"
           : type == MetricType::Gauge ? "gauge"
                                       : "histogram";
}

std::vector<Row> RowsOf(const std::vector<MetricFamily>& families) {
    std::vector<Row> rows;
    for (const MetricFamily& family : families) {
        for (const MetricSample& sample : family.samples) {
            std::string labels;
            for (const auto& [name, value] : sample.labels) {
                labels += (labels.empty() ? "" : ",") + name + "=" + value;
            }
            rows.push_back({family.name, TypeName(family.type), labels, sample.value});
        }
    }
    return rows;
}

// Replies as the plug-in gives them for the counter fixtures' sessions: a Vexel session with
// its load in the history, a PCoIP session, and a session without a protocol.
SampledReplies FixtureReplies() {
    SampledReplies replies;
    replies.performance = BagOf(R"({"timestamp": 5000, "metrics": {
        "metric": [{"cpu": 10, "mem": 20, "disk": 1}, {"cpu": 42, "mem": 63, "disk": 7}],
        "processMetrics": {"process": [
            {"id": 10, "create_time": 1, "name": "idle.exe", "cpu": 0, "mem": 4096, "disk": 0},
            {"id": 20, "create_time": 2, "name": "say \"hi\".exe", "cpu": 30, "mem": 8192,
             "disk": 512},
            {"id": 30, "create_time": 3, "name": "busy.exe", "cpu": 50, "mem": 100, "disk": 1},
            {"id": 5, "create_time": 4, "name": "tie.exe", "cpu": 30, "mem": 7, "disk": 0}]}}})");
    replies.sessions.push_back(
        {{3, L"Console", L"alice", "active"},
         BagOf(R"({"protocol": {"vexel": {"audio_recv_bytes": 48213, "cdr_recv_bytes": 1024,
            "image_frames_per_second": 29, "image_recv_bytes": 52311,
            "session_bandwidth_uplink": 85000, "session_packet_loss_uplink": 2,
            "session_rtt": 12, "session_transmit_bytes": 90431210,
            "image_encode_type": "NVIDIA NvEnc H264 4:2:0"}}})"),
         BagOf(R"({"historicalMetrics": {"metric": [{"timestamp": 1, "cpu": 5, "mem": 9},
                                                    {"timestamp": 2, "cpu": 12, "mem": 25}]}})")});
    replies.sessions.push_back({{4, L"RDP-Tcp#1", L"bob", "active"},
                                BagOf(R"({"protocol": {"pcoip": {"general_recv_bytes": 1200333,
            "general_sent_bytes": 98000111, "img_encoded_frames": 24, "net_rtl": 41,
            "net_rxbw_rate": 120, "net_rx_packets_loss": 0, "net_txbw_rate": 4200,
            "net_tx_packets_loss": 1}}})"),
                                {}});
    replies.sessions.push_back({{5, L"", L"carol", "disconnected"}, {}, {}});
    return replies;
}

// Every family, its type, labels and units, from replies of known values.
TEST(SampledMetricsTest, FamiliesNamesTypesLabelsAndUnits) {
    const std::string vexel = "session_id=3,protocol=vexel";
    const std::string pcoip = "session_id=4,protocol=pcoip";
    const std::string busy = "process_id=30,image=busy.exe";
    const std::string tie = "process_id=5,image=tie.exe";
    const std::string quoted = "process_id=20,image=say \"hi\".exe";
    const std::vector<Row> expected = {
        {"dorn_machine_processor_busy_ratio", "gauge", "", 0.42},
        {"dorn_machine_memory_used_ratio", "gauge", "", 0.63},
        {"dorn_machine_disk_busy_ratio", "gauge", "", 0.07},
        {"dorn_session_info", "gauge",
         "session_id=3,user=alice,state=active,protocol=vexel,encoder=NVIDIA NvEnc H264 4:2:0", 1},
        {"dorn_session_info", "gauge",
         "session_id=4,user=bob,state=active,protocol=pcoip,encoder=", 1},
        {"dorn_session_info", "gauge",
         "session_id=5,user=carol,state=disconnected,protocol=,encoder=", 1},
        {"dorn_session_processor_ratio", "gauge", "session_id=3", 0.12},
        {"dorn_session_memory_ratio", "gauge", "session_id=3", 0.25},
        {"dorn_session_round_trip_seconds", "gauge", vexel, 0.012},
        {"dorn_session_round_trip_seconds", "gauge", pcoip, 0.041},
        {"dorn_session_sent_bytes_total", "counter", vexel, 90431210},
        {"dorn_session_sent_bytes_total", "counter", pcoip, 98000111},
        {"dorn_session_received_bytes_total", "counter", vexel, 48213 + 1024 + 52311},
        {"dorn_session_received_bytes_total", "counter", pcoip, 1200333},
        {"dorn_session_bandwidth_bytes_per_second", "gauge", vexel + ",direction=receive",
         10625000},
        {"dorn_session_bandwidth_bytes_per_second", "gauge", pcoip + ",direction=receive", 15000},
        {"dorn_session_bandwidth_bytes_per_second", "gauge", pcoip + ",direction=transmit", 525000},
        {"dorn_session_frames_per_second", "gauge", vexel, 29},
        {"dorn_session_frames_per_second", "gauge", pcoip, 24},
        {"dorn_session_packet_loss_ratio", "gauge", vexel + ",direction=receive", 0.02},
        {"dorn_session_packet_loss_ratio", "gauge", pcoip + ",direction=receive", 0},
        {"dorn_session_packet_loss_ratio", "gauge", pcoip + ",direction=transmit", 0.01},
        {"dorn_process_processor_ratio", "gauge", busy, 0.5},
        {"dorn_process_processor_ratio", "gauge", tie, 0.3},
        {"dorn_process_processor_ratio", "gauge", quoted, 0.3},
        {"dorn_process_private_memory_bytes", "gauge", busy, 100},
        {"dorn_process_private_memory_bytes", "gauge", tie, 7},
        {"dorn_process_private_memory_bytes", "gauge", quoted, 8192},
        {"dorn_process_disk_bytes_per_second", "gauge", busy, 1},
        {"dorn_process_disk_bytes_per_second", "gauge", tie, 0},
        {"dorn_process_disk_bytes_per_second", "gauge", quoted, 512},
    };
    // The three of four processes with the largest share; of equal shares the lower id first.
    EXPECT_EQ(RowsOf(SampledFamilies(FixtureReplies(), 3)), expected);
}

// Without processes asked for, or with nothing sampled, the families stay without series.
TEST(SampledMetricsTest, WhatIsNotSampledHasNoSeries) {
    for (const MetricFamily& family : SampledFamilies(FixtureReplies(), 0)) {
        EXPECT_EQ(family.samples.empty(), family.name.rfind("dorn_process_", 0) == 0)
            << family.name;
    }
    EXPECT_EQ(RowsOf(SampledFamilies(SampledReplies{}, 5)), std::vector<Row>{});
}

}  // namespace
}  // namespace dorn::test
