#include "CounterTables.h"

namespace {

PerfCounterDefinition Row(const wchar_t* object, const wchar_t* counter, const wchar_t* instance,
                          const wchar_t* metric, bool sessionRelated, DWORD type, DWORD scale = 1) {
    return PerfCounterDefinition{object, counter, instance, metric, sessionRelated, type, scale};
}

// The protocol tables hold "*" as a placeholder instance: the protocol metrics write the
// session's instance name into every row before using them.
PerfCounterDefinition VexelRow(const wchar_t* object, const wchar_t* counter,
                               const wchar_t* metric) {
    return Row(object, counter, L"*", metric, false, kVexelCategory);
}

PerfCounterDefinition PcoipRow(const wchar_t* object, const wchar_t* counter,
                               const wchar_t* metric) {
    return Row(object, counter, L"*", metric, false, kPcoipCategory);
}

// Every counter and instance of the object, named "object|counter|instance".
PerfCounterDefinition WholeObject(const wchar_t* object, DWORD type) {
    return Row(object, L"*", L"*", L"", true, type);
}

}  // namespace

void AddVexelProtocolCounters(std::vector<PerfCounterDefinition>& list) {
    const wchar_t* audio = L"Pallido Vexel Audio Counters";
    const wchar_t* cdr = L"Pallido Vexel CDR Counters";
    const wchar_t* imaging = L"Pallido Vexel Imaging Counters";
    const wchar_t* session = L"Pallido Vexel Session Counters";
    list.insert(list.end(),
                {
                    VexelRow(audio, L"Received Bytes", L"audio_recv_bytes"),
                    VexelRow(audio, L"Transmitted Bytes", L"audio_transmit_bytes"),
                    VexelRow(cdr, L"Received Bytes", L"cdr_recv_bytes"),
                    VexelRow(cdr, L"Transmitted Bytes", L"cdr_transmit_bytes"),
                    VexelRow(imaging, L"Frames per second", L"image_frames_per_second"),
                    VexelRow(imaging, L"Received Bytes", L"image_recv_bytes"),
                    VexelRow(imaging, L"Transmitted Bytes", L"image_transmit_bytes"),
                    VexelRow(imaging, L"Encoder Type", L"image_encode_type"),
                    VexelRow(session, L"RTT", L"session_rtt"),
                    VexelRow(session, L"Estimated Bandwidth (Uplink)", L"session_bandwidth_uplink"),
                    VexelRow(session, L"Packet Loss (Uplink)", L"session_packet_loss_uplink"),
                    VexelRow(session, L"Transmitted Bytes", L"session_transmit_bytes"),
                    VexelRow(session, L"Instantaneous Transmitted Bytes over TCP",
                             L"session_inst_transmit_bytes_tcp"),
                    VexelRow(session, L"Instantaneous Received Bytes over TCP",
                             L"session_inst_recv_bytes_tcp"),
                    VexelRow(session, L"Instantaneous Transmitted Bytes over UDP",
                             L"session_inst_transmit_bytes_udp"),
                    VexelRow(session, L"Instantaneous Received Bytes over UDP",
                             L"session_inst_recv_bytes_udp"),
                });
}

void AddPcoipProtocolCounters(std::vector<PerfCounterDefinition>& list) {
    const wchar_t* general = L"PCoIP Session General Statistics";
    const wchar_t* network = L"PCoIP Session Network Statistics";
    const wchar_t* audio = L"PCoIP Session Audio Statistics";
    const wchar_t* usb = L"PCoIP Session USB Statistics";
    const wchar_t* imaging = L"PCoIP Session Imaging Statistics";
    list.insert(
        list.end(),
        {
            PcoipRow(general, L"Session Duration Seconds", L"general_duration"),
            PcoipRow(general, L"Bytes Received", L"general_recv_bytes"),
            PcoipRow(general, L"Bytes Sent", L"general_sent_bytes"),
            PcoipRow(general, L"RX Packets Lost", L"general_rx_packets_lost"),
            PcoipRow(general, L"TX Packets Lost", L"general_tx_packets_lost"),
            PcoipRow(general, L"Packets Received", L"general_recv_packets"),
            PcoipRow(general, L"Packets Sent", L"general_sent_packets"),
            PcoipRow(network, L"Round Trip Latency ms", L"net_rtl"),
            PcoipRow(network, L"RX BW kbit/sec", L"net_rxbw_rate"),
            PcoipRow(network, L"RX BW Peak kbit/sec", L"net_rxbw_peek_rate"),
            PcoipRow(network, L"RX Packet Loss %", L"net_rx_packets_loss"),
            PcoipRow(network, L"TX BW kbit/sec", L"net_txbw_rate"),
            PcoipRow(network, L"TX BW Active Limit kbit/sec", L"net_txbw_active_limit_rate"),
            PcoipRow(network, L"TX BW Limit kbit/sec", L"net_txbw_limit_rate"),
            PcoipRow(network, L"TX Packet Loss %", L"net_tx_packets_loss"),
            PcoipRow(audio, L"Audio Bytes Received", L"audio_recv_bytes"),
            PcoipRow(audio, L"Audio Bytes Sent", L"audio_sent_bytes"),
            PcoipRow(audio, L"Audio RX BW kbit/sec", L"audio_rxbw_rate"),
            PcoipRow(audio, L"Audio TX BW kbit/sec", L"audio_txbw_rate"),
            PcoipRow(audio, L"Audio TX BW Limit kbit/sec", L"audio_txbw_limit_rate"),
            PcoipRow(usb, L"USB Bytes Received", L"usb_recv_bytes"),
            PcoipRow(usb, L"USB Bytes Sent", L"usb_sent_bytes"),
            PcoipRow(usb, L"USB RX BW kbit/sec", L"usb_rxbw_rate"),
            PcoipRow(usb, L"USB TX BW kbit/sec", L"usb_txbw_rate"),
            PcoipRow(imaging, L"Imaging Bytes Received", L"img_recv_bytes"),
            PcoipRow(imaging, L"Imaging Bytes Sent", L"img_sent_bytes"),
            PcoipRow(imaging, L"Imaging RX BW kbit/sec", L"img_rxbw_rate"),
            PcoipRow(imaging, L"Imaging TX BW kbit/sec", L"img_txbw_rate"),
            PcoipRow(imaging, L"Imaging Encoded Frames/sec", L"img_encoded_frames"),
            PcoipRow(imaging, L"Imaging Active Minimum Quality", L"img_min_quality"),
            PcoipRow(imaging, L"Imaging Decoder Capability kbit/sec", L"img_decoder_capability"),
            PcoipRow(imaging, L"Imaging Megapixel/sec", L"img_megapixel"),
            PcoipRow(imaging, L"Imaging SVGAdevTap frames/sec", L"img_svgadevtap"),
            PcoipRow(imaging, L"Imaging Negative Acknowledgements", L"img_nack"),
            PcoipRow(imaging, L"Imaging Apex2800 Offload", L"img_apex2800"),
        });
}

void AddSessionLatencyCounters(std::vector<PerfCounterDefinition>& list) {
    list.insert(list.end(), {
                                Row(L"Pallido Vexel Session Counters", L"RTT", L"*",
                                    L"vexel_latency", true, kVexelCategory),
                                Row(L"PCoIP Session Network Statistics", L"Round Trip Latency ms",
                                    L"*", L"pcoip_latency", true, kPcoipCategory),
                            });
}

// The Vexel session counters are left out: the "metric" bags of the performance reply carry
// only machine-wide values, and the session latency has its own table.
void AddSystemPerformanceCounters(std::vector<PerfCounterDefinition>& list) {
    list.insert(list.end(), {
                                Row(L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk", false,
                                    kMachineCategory),
                                WholeObject(L"Pallido Vexel Imaging Counters", kVexelCategory),
                                WholeObject(L"PCoIP Session General Statistics", kPcoipCategory),
                                WholeObject(L"PCoIP Session Network Statistics", kPcoipCategory),
                                WholeObject(L"PCoIP Session Audio Statistics", kPcoipCategory),
                                WholeObject(L"PCoIP Session USB Statistics", kPcoipCategory),
                                WholeObject(L"PCoIP Session Imaging Statistics", kPcoipCategory),
                            });
}

void AddHistoricalDiskCounters(std::vector<PerfCounterDefinition>& list) {
    const wchar_t* disk = L"PhysicalDisk";
    list.insert(
        list.end(),
        {
            Row(disk, L"Disk Reads/sec", L"_Total", L"disk_iops_reads", false, kMachineCategory),
            Row(disk, L"Disk Writes/sec", L"_Total", L"disk_iops_writes", false, kMachineCategory),
            Row(disk, L"Disk Transfers/sec", L"_Total", L"disk_iops", false, kMachineCategory),
            // Seconds per transfer, reported in milliseconds.
            Row(disk, L"Avg. Disk sec/Transfer", L"_Total", L"disk_latency", false,
                kMachineCategory, 1000),
        });
}
