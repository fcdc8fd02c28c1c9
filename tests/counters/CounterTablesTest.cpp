// The five counter tables, row by row and field by field, and the counter key that identifies a
// row in a set. Pure data: the same on every build.
#include "CounterTables.h"
#include "CountersFixture.h"

namespace dorn::test {
namespace {

std::wstring Render(const PerfCounterDefinition& row) {
    return row.strCounterObject + L" / " + row.strCounter + L" / " + row.strInstance + L" / " +
           row.strMetricName + (row.bSessionRelated ? L" / session" : L" / any") + L" / type " +
           std::to_wstring(row.dwType) + L" / scale " + std::to_wstring(row.dwScale);
}

std::vector<std::wstring> Render(const std::vector<PerfCounterDefinition>& rows) {
    std::vector<std::wstring> rendered;
    for (const PerfCounterDefinition& row : rows) rendered.push_back(Render(row));
    return rendered;
}

// The protocol tables hold the placeholder instance "*", no session gate and scale 1.
PerfCounterDefinition Vexel(const wchar_t* object, const wchar_t* counter, const wchar_t* metric) {
    return {object, counter, L"*", metric, false, 4, 1};
}
PerfCounterDefinition Pcoip(const wchar_t* object, const wchar_t* counter, const wchar_t* metric) {
    return {object, counter, L"*", metric, false, 8, 1};
}

struct Table {
    const char* name;
    void (*build)(std::vector<PerfCounterDefinition>&);
    std::vector<PerfCounterDefinition> rows;
};

const wchar_t* const kVAudio = L"Pallido Vexel Audio Counters";
const wchar_t* const kVCdr = L"Pallido Vexel CDR Counters";
const wchar_t* const kVImaging = L"Pallido Vexel Imaging Counters";
const wchar_t* const kVSession = L"Pallido Vexel Session Counters";
const wchar_t* const kPGeneral = L"PCoIP Session General Statistics";
const wchar_t* const kPNetwork = L"PCoIP Session Network Statistics";
const wchar_t* const kPAudio = L"PCoIP Session Audio Statistics";
const wchar_t* const kPUsb = L"PCoIP Session USB Statistics";
const wchar_t* const kPImaging = L"PCoIP Session Imaging Statistics";

const Table kTables[] = {
    {"VexelProtocolCounters",
     AddVexelProtocolCounters,
     {Vexel(kVAudio, L"Received Bytes", L"audio_recv_bytes"),
      Vexel(kVAudio, L"Transmitted Bytes", L"audio_transmit_bytes"),
      Vexel(kVCdr, L"Received Bytes", L"cdr_recv_bytes"),
      Vexel(kVCdr, L"Transmitted Bytes", L"cdr_transmit_bytes"),
      Vexel(kVImaging, L"Frames per second", L"image_frames_per_second"),
      Vexel(kVImaging, L"Received Bytes", L"image_recv_bytes"),
      Vexel(kVImaging, L"Transmitted Bytes", L"image_transmit_bytes"),
      Vexel(kVImaging, L"Encoder Type", L"image_encode_type"),
      Vexel(kVSession, L"RTT", L"session_rtt"),
      Vexel(kVSession, L"Estimated Bandwidth (Uplink)", L"session_bandwidth_uplink"),
      Vexel(kVSession, L"Packet Loss (Uplink)", L"session_packet_loss_uplink"),
      Vexel(kVSession, L"Transmitted Bytes", L"session_transmit_bytes"),
      Vexel(kVSession, L"Instantaneous Transmitted Bytes over TCP",
            L"session_inst_transmit_bytes_tcp"),
      Vexel(kVSession, L"Instantaneous Received Bytes over TCP", L"session_inst_recv_bytes_tcp"),
      Vexel(kVSession, L"Instantaneous Transmitted Bytes over UDP",
            L"session_inst_transmit_bytes_udp"),
      Vexel(kVSession, L"Instantaneous Received Bytes over UDP", L"session_inst_recv_bytes_udp")}},
    {"PcoipProtocolCounters",
     AddPcoipProtocolCounters,
     {Pcoip(kPGeneral, L"Session Duration Seconds", L"general_duration"),
      Pcoip(kPGeneral, L"Bytes Received", L"general_recv_bytes"),
      Pcoip(kPGeneral, L"Bytes Sent", L"general_sent_bytes"),
      Pcoip(kPGeneral, L"RX Packets Lost", L"general_rx_packets_lost"),
      Pcoip(kPGeneral, L"TX Packets Lost", L"general_tx_packets_lost"),
      Pcoip(kPGeneral, L"Packets Received", L"general_recv_packets"),
      Pcoip(kPGeneral, L"Packets Sent", L"general_sent_packets"),
      Pcoip(kPNetwork, L"Round Trip Latency ms", L"net_rtl"),
      Pcoip(kPNetwork, L"RX BW kbit/sec", L"net_rxbw_rate"),
      Pcoip(kPNetwork, L"RX BW Peak kbit/sec", L"net_rxbw_peek_rate"),
      Pcoip(kPNetwork, L"RX Packet Loss %", L"net_rx_packets_loss"),
      Pcoip(kPNetwork, L"TX BW kbit/sec", L"net_txbw_rate"),
      Pcoip(kPNetwork, L"TX BW Active Limit kbit/sec", L"net_txbw_active_limit_rate"),
      Pcoip(kPNetwork, L"TX BW Limit kbit/sec", L"net_txbw_limit_rate"),
      Pcoip(kPNetwork, L"TX Packet Loss %", L"net_tx_packets_loss"),
      Pcoip(kPAudio, L"Audio Bytes Received", L"audio_recv_bytes"),
      Pcoip(kPAudio, L"Audio Bytes Sent", L"audio_sent_bytes"),
      Pcoip(kPAudio, L"Audio RX BW kbit/sec", L"audio_rxbw_rate"),
      Pcoip(kPAudio, L"Audio TX BW kbit/sec", L"audio_txbw_rate"),
      Pcoip(kPAudio, L"Audio TX BW Limit kbit/sec", L"audio_txbw_limit_rate"),
      Pcoip(kPUsb, L"USB Bytes Received", L"usb_recv_bytes"),
      Pcoip(kPUsb, L"USB Bytes Sent", L"usb_sent_bytes"),
      Pcoip(kPUsb, L"USB RX BW kbit/sec", L"usb_rxbw_rate"),
      Pcoip(kPUsb, L"USB TX BW kbit/sec", L"usb_txbw_rate"),
      Pcoip(kPImaging, L"Imaging Bytes Received", L"img_recv_bytes"),
      Pcoip(kPImaging, L"Imaging Bytes Sent", L"img_sent_bytes"),
      Pcoip(kPImaging, L"Imaging RX BW kbit/sec", L"img_rxbw_rate"),
      Pcoip(kPImaging, L"Imaging TX BW kbit/sec", L"img_txbw_rate"),
      Pcoip(kPImaging, L"Imaging Encoded Frames/sec", L"img_encoded_frames"),
      Pcoip(kPImaging, L"Imaging Active Minimum Quality", L"img_min_quality"),
      Pcoip(kPImaging, L"Imaging Decoder Capability kbit/sec", L"img_decoder_capability"),
      Pcoip(kPImaging, L"Imaging Megapixel/sec", L"img_megapixel"),
      Pcoip(kPImaging, L"Imaging SVGAdevTap frames/sec", L"img_svgadevtap"),
      Pcoip(kPImaging, L"Imaging Negative Acknowledgements", L"img_nack"),
      Pcoip(kPImaging, L"Imaging Apex2800 Offload", L"img_apex2800")}},
    {"SessionLatencyCounters",
     AddSessionLatencyCounters,
     {{kVSession, L"RTT", L"*", L"vexel_latency", true, 4, 1},
      {kPNetwork, L"Round Trip Latency ms", L"*", L"pcoip_latency", true, 8, 1}}},
    {"SystemPerformanceCounters",
     AddSystemPerformanceCounters,
     {{L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk", false, 1, 1},
      {kVImaging, L"*", L"*", L"", true, 4, 1},
      {kPGeneral, L"*", L"*", L"", true, 8, 1},
      {kPNetwork, L"*", L"*", L"", true, 8, 1},
      {kPAudio, L"*", L"*", L"", true, 8, 1},
      {kPUsb, L"*", L"*", L"", true, 8, 1},
      {kPImaging, L"*", L"*", L"", true, 8, 1}}},
    {"HistoricalDiskCounters",
     AddHistoricalDiskCounters,
     {{L"PhysicalDisk", L"Disk Reads/sec", L"_Total", L"disk_iops_reads", false, 1, 1},
      {L"PhysicalDisk", L"Disk Writes/sec", L"_Total", L"disk_iops_writes", false, 1, 1},
      {L"PhysicalDisk", L"Disk Transfers/sec", L"_Total", L"disk_iops", false, 1, 1},
      {L"PhysicalDisk", L"Avg. Disk sec/Transfer", L"_Total", L"disk_latency", false, 1, 1000}}},
};

// Each builder appends its whole table, in order, behind what the list already holds.
TEST(CounterTablesTest, EachBuilderAppendsItsRowsInOrder) {
    const std::vector<size_t> sizes = {16, 35, 2, 7, 4};
    for (size_t t = 0; t < std::size(kTables); ++t) {
        const Table& table = kTables[t];
        EXPECT_EQ(table.rows.size(), sizes[t]) << table.name;
        std::vector<PerfCounterDefinition> list(1);
        table.build(list);
        std::vector<PerfCounterDefinition> expected = table.rows;
        expected.insert(expected.begin(), {L"", L"", L"", L"", false, 0, 1});  // a fresh row
        EXPECT_EQ(Render(list), Render(expected)) << table.name;
    }
}

TEST(CounterTablesTest, CounterKeysJoinEveryFieldButTheScale) {
    const std::pair<PerfCounterDefinition, const wchar_t*> examples[] = {
        {{L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk", false, 1, 1000},
         L"PhysicalDisk^% Disk Time^_Total^disk^1^0"},
        {{kVSession, L"RTT", L"*", L"vexel_latency", true, 4, 1},
         L"Pallido Vexel Session Counters^RTT^*^vexel_latency^4^1"},
        {{L"", L"", L"", L"", false, 0xFFFFFFFF, 1}, L"^^^^-1^0"},  // %d of all bits set
    };
    for (const auto& [definition, key] : examples) EXPECT_EQ(CounterKey(definition), key);
}

}  // namespace
}  // namespace dorn::test
