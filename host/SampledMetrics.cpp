#include "SampledMetrics.h"

#include <algorithm>
#include <string>

namespace {

// From the plug-in's unit to the base unit: times `times`, then divided by `per` (exact for
// the integers the plug-in reports, so that 12 ms is the same number as 0.012 s).
struct Unit {
    double times = 1;
    double per = 1;
};
constexpr Unit kSame;
constexpr Unit kPercent{1, 100};
constexpr Unit kMilliseconds{1, 1000};
constexpr Unit kKilobitsPerSecond{1000.0 / 8, 1};

// The last bag under a repeated key; empty when there is none.
CORE::PropertyBag LastBag(const CORE::PropertyBag& bag, const wchar_t* key) {
    CORE::PropertyBag last;
    CORE::PropertyBag item;
    for (size_t at = bag.getNextBag(key, item, 0); at != 0; at = bag.getNextBag(key, item, at)) {
        last = item;
    }
    return last;
}

void AddSample(std::vector<MetricFamily>& families, const std::string& name, double value,
               MetricLabels labels) {
    for (MetricFamily& family : families) {
        if (family.name == name) {
            family.samples.push_back({std::move(labels), value});
            return;
        }
    }
}

// One sample of the family named `name` when `bag` holds the integer `key`.
void AddValue(std::vector<MetricFamily>& families, const std::string& name,
              const CORE::PropertyBag& bag, const wchar_t* key, Unit unit, MetricLabels labels) {
    if (key == nullptr || !bag.contains(key)) return;
    AddSample(families, name, static_cast<double>(bag.getInt64(key)) * unit.times / unit.per,
              std::move(labels));
}

std::vector<MetricFamily> EmptyFamilies() {
    const auto gauge = [](const char* name, const char* help) {
        return MetricFamily{name, MetricType::Gauge, help};
    };
    const auto counter = [](const char* name, const char* help) {
        return MetricFamily{name, MetricType::Counter, help};
    };
    return {
        gauge("dorn_machine_processor_busy_ratio",
              "Share of the machine's processor time in use, as the plug-in's collection thread "
              "last sampled it."),
        gauge("dorn_machine_memory_used_ratio", "Share of the machine's physical memory in use."),
        gauge("dorn_machine_disk_busy_ratio",
              "Share of time the machine's disks were busy (PhysicalDisk % Disk Time of _Total)."),
        gauge("dorn_session_info",
              "A session the machine lists, with its user, state, display protocol and encoder."),
        gauge("dorn_session_processor_ratio",
              "Share of the machine's processor time the session's processes used."),
        gauge("dorn_session_memory_ratio",
              "Share of the machine's physical memory in the session's working sets."),
        gauge("dorn_session_round_trip_seconds",
              "Round trip time of the session's display protocol."),
        counter("dorn_session_sent_bytes_total", "Bytes the session's display protocol sent."),
        counter("dorn_session_received_bytes_total",
                "Bytes the session's display protocol received (Vexel: its audio, CDR and "
                "imaging channels)."),
        gauge("dorn_session_bandwidth_bytes_per_second",
              "The display protocol's bandwidth, by direction (Vexel: the estimated uplink)."),
        gauge("dorn_session_frames_per_second", "Frames the display protocol sends per second."),
        gauge("dorn_session_packet_loss_ratio",
              "Share of the display protocol's packets lost, by direction."),
        gauge("dorn_process_processor_ratio",
              "Share of the machine's processor time a process used in the last sample."),
        gauge("dorn_process_private_memory_bytes", "A process's private bytes."),
        gauge("dorn_process_disk_bytes_per_second",
              "Bytes a process read and wrote in the last sample's second."),
    };
}

void AddMachine(std::vector<MetricFamily>& families, const CORE::PropertyBag& performance) {
    const CORE::PropertyBag newest = LastBag(performance.getBag(L"metrics"), L"metric");
    AddValue(families, "dorn_machine_processor_busy_ratio", newest, L"cpu", kPercent, {});
    AddValue(families, "dorn_machine_memory_used_ratio", newest, L"mem", kPercent, {});
    AddValue(families, "dorn_machine_disk_busy_ratio", newest, L"disk", kPercent, {});
}

// The reply keys of one display protocol's statistics.
struct ProtocolKeys {
    const wchar_t* roundTripMs;
    const wchar_t* sentBytes;
    std::vector<const wchar_t*> receivedBytes;  // added up
    const wchar_t* receiveKbits;
    const wchar_t* transmitKbits;  // null: not reported
    const wchar_t* framesPerSecond;
    const wchar_t* receiveLossPercent;
    const wchar_t* transmitLossPercent;  // null: not reported
};

const ProtocolKeys kVexelKeys = {L"session_rtt",
                                 L"session_transmit_bytes",
                                 {L"audio_recv_bytes", L"cdr_recv_bytes", L"image_recv_bytes"},
                                 L"session_bandwidth_uplink",
                                 nullptr,
                                 L"image_frames_per_second",
                                 L"session_packet_loss_uplink",
                                 nullptr};
const ProtocolKeys kPcoipKeys = {
    L"net_rtl",       L"general_sent_bytes", {L"general_recv_bytes"}, L"net_rxbw_rate",
    L"net_txbw_rate", L"img_encoded_frames", L"net_rx_packets_loss",  L"net_tx_packets_loss"};

void AddProtocol(std::vector<MetricFamily>& families, const std::string& sessionId,
                 const std::string& protocol, const CORE::PropertyBag& values,
                 const ProtocolKeys& keys) {
    const MetricLabels labels = {{"session_id", sessionId}, {"protocol", protocol}};
    const auto with = [&labels](const char* direction) {
        MetricLabels more = labels;
        more.emplace_back("direction", direction);
        return more;
    };
    AddValue(families, "dorn_session_round_trip_seconds", values, keys.roundTripMs, kMilliseconds,
             labels);
    AddValue(families, "dorn_session_sent_bytes_total", values, keys.sentBytes, kSame, labels);
    int64_t received = 0;
    bool anyReceived = false;
    for (const wchar_t* key : keys.receivedBytes) {
        anyReceived = anyReceived || values.contains(key);
        received += values.getInt64(key);
    }
    if (anyReceived) {
        AddSample(families, "dorn_session_received_bytes_total", static_cast<double>(received),
                  labels);
    }
    AddValue(families, "dorn_session_bandwidth_bytes_per_second", values, keys.receiveKbits,
             kKilobitsPerSecond, with("receive"));
    AddValue(families, "dorn_session_bandwidth_bytes_per_second", values, keys.transmitKbits,
             kKilobitsPerSecond, with("transmit"));
    AddValue(families, "dorn_session_frames_per_second", values, keys.framesPerSecond, kSame,
             labels);
    AddValue(families, "dorn_session_packet_loss_ratio", values, keys.receiveLossPercent, kPercent,
             with("receive"));
    AddValue(families, "dorn_session_packet_loss_ratio", values, keys.transmitLossPercent, kPercent,
             with("transmit"));
}

void AddSession(std::vector<MetricFamily>& families, const SessionReplies& replies) {
    const std::string id = std::to_string(replies.session.id);
    const CORE::PropertyBag protocols = replies.protocol.getBag(L"protocol");
    const bool vexel = protocols.contains(L"vexel");
    const bool pcoip = protocols.contains(L"pcoip");
    const std::string protocol = vexel ? "vexel" : pcoip ? "pcoip" : "";
    const CORE::PropertyBag values = protocols.getBag(vexel ? L"vexel" : L"pcoip");
    AddSample(families, "dorn_session_info", 1,
              {{"session_id", id},
               {"user", Utf8FromWide(replies.session.user)},
               {"state", replies.session.state},
               {"protocol", protocol},
               {"encoder", Utf8FromWide(values.get(L"image_encode_type").c_str())}});

    const CORE::PropertyBag load =
        LastBag(replies.historical.getBag(L"historicalMetrics"), L"metric");
    AddValue(families, "dorn_session_processor_ratio", load, L"cpu", kPercent,
             {{"session_id", id}});
    AddValue(families, "dorn_session_memory_ratio", load, L"mem", kPercent, {{"session_id", id}});
    if (vexel || pcoip)
        AddProtocol(families, id, protocol, values, vexel ? kVexelKeys : kPcoipKeys);
}

void AddProcesses(std::vector<MetricFamily>& families, const CORE::PropertyBag& performance,
                  size_t top) {
    if (top == 0) return;
    std::vector<CORE::PropertyBag> processes;
    CORE::PropertyBag item;
    const CORE::PropertyBag list = performance.getBag(L"metrics").getBag(L"processMetrics");
    for (size_t at = list.getNextBag(L"process", item, 0); at != 0;
         at = list.getNextBag(L"process", item, at)) {
        processes.push_back(item);
    }
    const size_t kept = std::min(top, processes.size());
    std::partial_sort(processes.begin(), processes.begin() + kept, processes.end(),
                      [](const CORE::PropertyBag& a, const CORE::PropertyBag& b) {
                          const int64_t cpuA = a.getInt64(L"cpu");
                          const int64_t cpuB = b.getInt64(L"cpu");
                          return cpuA != cpuB ? cpuA > cpuB : a.getInt64(L"id") < b.getInt64(L"id");
                      });
    for (size_t i = 0; i < kept; ++i) {
        const MetricLabels labels = {{"process_id", std::to_string(processes[i].getInt64(L"id"))},
                                     {"image", Utf8FromWide(processes[i].get(L"name").c_str())}};
        AddValue(families, "dorn_process_processor_ratio", processes[i], L"cpu", kPercent, labels);
        AddValue(families, "dorn_process_private_memory_bytes", processes[i], L"mem", kSame,
                 labels);
        AddValue(families, "dorn_process_disk_bytes_per_second", processes[i], L"disk", kSame,
                 labels);
    }
}

}  // namespace

std::vector<MetricFamily> SampledFamilies(const SampledReplies& replies, size_t topProcesses) {
    std::vector<MetricFamily> families = EmptyFamilies();
    AddMachine(families, replies.performance);
    for (const SessionReplies& session : replies.sessions) AddSession(families, session);
    AddProcesses(families, replies.performance, topProcesses);
    return families;
}
