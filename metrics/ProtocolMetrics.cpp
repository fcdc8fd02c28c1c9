#include "ProtocolMetrics.h"

#include <wtsapi32.h>

#include <array>
#include <atomic>

#include "CounterSetUpdate.h"
#include "CounterTables.h"
#include "PerfCounterSet.h"
#include "WtsMemory.h"
#include "TruncatedValue.h"
#include "LogMessage.h"
#include "quillmesh/corestring.h"
#include "SessionRegistryKey.h"

namespace {

constexpr DWORD kSampleIntervalMs = 1000;  // rate counters need two samples this far apart
constexpr const wchar_t* kEncoderTypeKey = L"image_encode_type";

constexpr std::array<const char*, kEncoderNameCount> kEncoderNames = {
    "none",
    "startup",
    "static",
    "adaptive",
    "VexelCodec",
    "VexelCodec Lossless",
    "h264 4:2:0",
    "h264 4:4:4",
    "hevc 4:2:0",
    "hevc 4:4:4",
    "NVIDIA NvEnc H264 4:2:0",
    "NVIDIA NvEnc H264 4:4:4",
    "NVIDIA NvEnc HEVC 4:2:0",
    "NVIDIA NvEnc HEVC 4:4:4",
    "NVIDIA NvEnc HEVC 4:4:4 Lossless",
    "NVIDIA NvEnc HEVC HDR 4:2:0",
    "NVIDIA NvEnc HEVC HDR 4:4:4",
    "NVIDIA NvEnc AV1 4:2:0",
    "NVIDIA NvEnc AV1 4:4:4",
    "NVIDIA NvEnc AV1 HDR 4:2:0",
    "NVIDIA NvEnc AV1 HDR 4:4:4",
    "Switch (Text)",
    "Switch (Video)",
    "Intel H264 SW 4:2:0",
    "Intel H264 SW 4:4:4",
    "Intel H264 HW 4:2:0",
    "Intel H264 HW 4:4:4",
    "Intel HEVC SW 4:2:0",
    "Intel HEVC SW 4:4:4",
    "Intel HEVC HW 4:2:0",
    "Intel HEVC HW 4:4:4",
    "Intel AV1 SW 4:2:0",
    "Intel AV1 SW 4:4:4",
    "Intel AV1 HW 4:2:0",
    "Intel AV1 HW 4:4:4",
    "AMD H264 SW 4:2:0",
    "AMD H264 SW 4:4:4",
    "AMD H264 HW 4:2:0",
    "AMD H264 HW 4:4:4",
    "AMD HEVC SW 4:2:0",
    "AMD HEVC SW 4:4:4",
    "AMD HEVC HW 4:2:0",
    "AMD HEVC HW 4:4:4",
    "AMD AV1 SW 4:2:0",
    "AMD AV1 SW 4:4:4",
    "AMD AV1 HW 4:2:0",
    "AMD AV1 HW 4:4:4",
};

std::atomic<SampleIntervalWait> sampleIntervalWait{nullptr};

void WaitSampleInterval() {
    const SampleIntervalWait wait = sampleIntervalWait.load();
    if (wait != nullptr) {
        wait(kSampleIntervalMs);
    } else {
        Sleep(kSampleIntervalMs);
    }
}

std::wstring SessionText(const wchar_t* before, int32_t sessionId, const wchar_t* after) {
    return before + std::to_wstring(sessionId) + after;
}

std::wstring VexelInstance(const std::wstring& object, int32_t sessionId) {
    if (object == L"Pallido Vexel CDR Counters") {
        return SessionText(L"Session ID: ", sessionId, L"; Channel: CDR; (main)");
    }
    if (object == L"Pallido Vexel Audio Counters") {
        return SessionText(L"Session ID: ", sessionId, L"; Channel: Audio; (main)");
    }
    if (object == L"Pallido Vexel Imaging Counters") {
        return SessionText(L"Session ID: ", sessionId, L"; Channel: Imaging; (main)");
    }
    return SessionText(L"Session ID: ", sessionId, L"; (main)");
}

std::wstring PcoipInstance(int32_t sessionId, const std::wstring& userName) {
    return SessionText(L"PCoIP Session ", sessionId, L" ") + userName;
}

bool BuildProtocolTable(DWORD protocol, std::vector<PerfCounterDefinition>& table) {
    if (protocol == kVexelProtocol) {
        AddVexelProtocolCounters(table);
    } else if (protocol == kPcoipProtocol) {
        AddPcoipProtocolCounters(table);
    } else {
        LogMessage(CORE::SysMessageWarning, L"Unsupported protocol type: %d", protocol);
    }
    return !table.empty();
}

void AddTruncated(CORE::PropertyBag& bag, const MetricValue& value) {
    bag.addInt64(value.key.c_str(), TruncatedValue(value.value));
}

}  // namespace

bool DetectProtocol(int32_t sessionId, DWORD& protocol) {
    std::wstring text;
    {
        SessionRegistryKey key(sessionId);
        // A failed read leaves the text empty and is logged by the reader.
        key.ReadValue(kSessionDataPattern, L"KestlClient_Protocol", text);
    }
    if (text == L"VEXEL") {
        protocol = kVexelProtocol;
        return true;
    }
    if (text == L"PCOIP") {
        protocol = kPcoipProtocol;
        return true;
    }
    LogMessage(CORE::SysMessageWarning, L"Unspported protocol %s", text.c_str());
    return false;
}

std::wstring GetSessionUserName(int32_t sessionId) {
    WtsMemory<wchar_t> buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, static_cast<DWORD>(sessionId),
                                     WTSUserName, buffer.put(), &bytes)) {
        LogMessage(CORE::SysMessageError,
                   L"can not retrieve user name for sessionId=%d, error: 0x%x", sessionId,
                   GetLastError());
        return std::wstring();
    }
    return buffer.get() != nullptr ? std::wstring(buffer.get()) : std::wstring();
}

void SetProtocolInstances(std::vector<PerfCounterDefinition>& table, int32_t sessionId,
                          const std::wstring& userName) {
    for (PerfCounterDefinition& row : table) {
        if (row.dwType == kVexelProtocol) {
            row.strInstance = VexelInstance(row.strCounterObject, sessionId);
        } else if (row.dwType == kPcoipProtocol) {
            row.strInstance = PcoipInstance(sessionId, userName);
        } else {
            LogMessage(CORE::SysMessageWarning, L"No supported protocol: %d", row.dwType);
        }
    }
}

bool SampleProtocolCounters(ProtocolSample& sample) {
    PerfCounterSet set;  // its query is closed when the set goes, on every path
    std::vector<PerfCounterDefinition> table;
    BuildProtocolTable(sample.protocol, table);
    const int32_t sessionId = static_cast<int32_t>(sample.sessionId);
    const std::wstring userName = GetSessionUserName(sessionId);
    if (userName.empty()) return false;
    SetProtocolInstances(table, sessionId, userName);
    UpdateCounterSet(set, table);
    if (!CollectQuery(set)) return false;
    WaitSampleInterval();
    return CollectValues(set, sample.values);
}

void SetSampleIntervalWait(SampleIntervalWait wait) {
    sampleIntervalWait.store(wait);
}

const char* EncoderName(int32_t encoderType) {
    if (encoderType < 0 || encoderType >= static_cast<int32_t>(kEncoderNames.size()))
        return nullptr;
    return kEncoderNames[static_cast<size_t>(encoderType)];
}

void ResolveEncoderName(CORE::PropertyBag& vexel) {
    const int32_t type = vexel.getInt(kEncoderTypeKey, -1);
    if (type == -1) {
        LogMessage(CORE::SysMessageError,
                   L"Encoder type is currently not set for Vexel connection");
        return;
    }
    vexel.remove(kEncoderTypeKey, true);
    const char* name = EncoderName(type);
    if (name == nullptr) {
        LogMessage(CORE::SysMessageError, L"Failed to find encoder name for type: %d", type);
        return;
    }
    vexel.add(kEncoderTypeKey, CORE::corestring<char>(name)._wstr(65001).c_str());
}

bool BuildProtocolReply(int32_t sessionId, CORE::PropertyBag& reply) {
    DWORD protocol = 0;
    if (!DetectProtocol(sessionId, protocol)) return false;
    ProtocolSample sample;
    sample.sessionId = static_cast<uint32_t>(sessionId);
    sample.protocol = protocol;
    if (!SampleProtocolCounters(sample)) return false;

    CORE::PropertyBag outer;
    CORE::PropertyBag vexel;
    CORE::PropertyBag pcoip;
    for (const MetricValue& value : sample.values) {
        if (value.category & kVexelProtocol) {
            AddTruncated(vexel, value);
        } else if (value.category & kPcoipProtocol) {
            AddTruncated(pcoip, value);
        }
    }
    if (!sample.values.empty()) {
        if (protocol == kVexelProtocol) {
            ResolveEncoderName(vexel);
            outer.addBag(L"vexel", vexel);
        } else {
            outer.addBag(L"pcoip", pcoip);
        }
    }
    reply.addBag(L"protocol", outer);
    return true;
}
