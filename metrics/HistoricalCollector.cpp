#include "HistoricalCollector.h"

#include <windows.h>

#include <cwctype>
#include <limits>

#include "CounterSetUpdate.h"
#include "CounterTables.h"
#include "TruncatedValue.h"
#include "LogMessage.h"
#include "Settings.h"

namespace {

constexpr const wchar_t* kMonitorQueue = L"perfmon";
constexpr DWORD kMonitorWaitMs = 120000;
constexpr int64_t kFileTimeUnitsPerMs = 10000;
constexpr int64_t kEpochDifferenceMs = 11644473600000;  // 1601-01-01 to 1970-01-01

CORE::PropertyBag MonitorMetricBag(const PerfCounterDefinition& metric) {
    CORE::PropertyBag bag;
    bag.add(L"strCounterObject", metric.strCounterObject);
    bag.add(L"strCounter", metric.strCounter);
    bag.add(L"strInstance", metric.strInstance);
    bag.add(L"strMetricName", metric.strMetricName);
    bag.addBool(L"bSessionRelated", metric.bSessionRelated);
    bag.addInt(L"dwType", static_cast<int32_t>(metric.dwType));
    bag.addInt(L"dwScale", static_cast<int32_t>(metric.dwScale));
    bag.addBool(L"isAdd", true);
    return bag;
}

// Each sub-bag under `key` becomes one session value read from `valueKey`.
void ReadSessionValues(const CORE::PropertyBag& request, const wchar_t* key,
                       const wchar_t* valueKey, std::vector<SessionValue>& values) {
    CORE::PropertyBag sub;
    for (size_t position = request.getNextBag(key, sub, 0); position != 0;
         position = request.getNextBag(key, sub, position)) {
        SessionValue value;
        value.sessionId = sub.getInt(L"sessionId", -1);
        value.key = valueKey;
        value.value = static_cast<double>(sub.getInt64(valueKey, 0));
        values.push_back(std::move(value));
    }
}

// Whether the reading is reported to `sessionId`: machine-wide readings always, session
// readings only for the session their instance names.
bool ReadingBelongsTo(const CounterReading& reading, int32_t sessionId) {
    if (!reading.bSessionRelated) return true;
    int32_t instanceSession = -1;
    return SessionIdFromInstance(reading.strInstance, reading.dwType, instanceSession) &&
           instanceSession == sessionId;
}

CORE::PropertyBag EntryBag(const HistoryEntry& entry, int32_t sessionId) {
    CORE::PropertyBag bag;
    bag.addInt64(L"timestamp", entry.timestamp);
    for (const CounterReading& reading : entry.counterValues) {
        if (ReadingBelongsTo(reading, sessionId)) {
            bag.addInt64(reading.strMetricName.c_str(), TruncatedValue(reading.value));
        }
    }
    for (const MetricValue& value : entry.overallValues) {
        bag.addInt64(value.key.c_str(), TruncatedValue(value.value));
    }
    for (const SessionValue& value : entry.sessionValues) {
        if (value.sessionId == sessionId)
            bag.addInt64(value.key.c_str(), TruncatedValue(value.value));
    }
    return bag;
}

// Matches `text` against a format of literal characters, white space (any run, also none)
// and one "%d", as the C library's scanf family would, without its undefined behaviour on
// overflow: a number beyond 32 bits does not match.
bool ScanSessionNumber(const std::wstring& text, const wchar_t* format, int32_t& number) {
    size_t at = 0;
    auto skipSpace = [&] {
        while (at < text.size() && std::iswspace(text[at])) ++at;
    };
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (std::iswspace(*f)) {
            skipSpace();
        } else if (f[0] == L'%' && f[1] == L'd') {
            ++f;
            skipSpace();
            const bool negative = at < text.size() && text[at] == L'-';
            if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) ++at;
            int64_t value = 0;
            const size_t digitsStart = at;
            while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
                value = value * 10 + (text[at] - L'0');
                if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
                ++at;
            }
            if (at == digitsStart) return false;
            value = negative ? -value : value;
            if (value > std::numeric_limits<int32_t>::max()) return false;
            number = static_cast<int32_t>(value);
            return true;
        } else {
            if (at >= text.size() || text[at] != *f) return false;
            ++at;
        }
    }
    return false;
}

}  // namespace

bool SessionIdFromInstance(const std::wstring& instance, DWORD category, int32_t& sessionId) {
    if (category == kVexelCategory)
        return ScanSessionNumber(instance, L"Session ID: %d", sessionId);
    if (category == kPcoipCategory)
        return ScanSessionNumber(instance, L"PCoIP Session %d", sessionId);
    return false;
}

bool WallClockMilliseconds(int64_t& milliseconds) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME fileTime{};
    if (!SystemTimeToFileTime(&now, &fileTime)) return false;
    const uint64_t units =
        (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    milliseconds = static_cast<int64_t>(units / kFileTimeUnitsPerMs) - kEpochDifferenceMs;
    return true;
}

HistoricalCollector& HistoricalCollector::Instance() {
    static HistoricalCollector collector;
    return collector;
}

bool HistoricalCollector::FrameworkWorkerCheck(const wchar_t* queue, DWORD timeoutMs) {
    return CORE::Quillmesh::System()->IsWorkerInstalled(queue, timeoutMs);
}

bool HistoricalCollector::StartHistoricalCollector() {
    if (IsHistoricalCollectorDisabled()) {
        LogMessage(CORE::SysMessageVerbose, L"Historical collector was disabled");
        return true;
    }
    const std::lock_guard<std::mutex> intake(m_intakeLock);
    m_latencyTable.clear();
    AddSessionLatencyCounters(m_latencyTable);
    SendMonitorConfigurationLocked();
    return true;
}

void HistoricalCollector::SendMonitorConfiguration() {
    const std::lock_guard<std::mutex> intake(m_intakeLock);
    SendMonitorConfigurationLocked();
}

void HistoricalCollector::SendMonitorConfigurationLocked() {
    m_monitorMetrics.clear();
    AddHistoricalDiskCounters(m_monitorMetrics);

    CORE::PropertyBag request;
    request.add(L"plugin_name", L"dorn_helpdesk");
    for (const PerfCounterDefinition& metric : m_monitorMetrics) {
        request.addBag(L"trelPerfmonMetrics", MonitorMetricBag(metric), false);
    }

    LogMessage(CORE::SysMessageVerbose, L"waiting for %s queue", kMonitorQueue);
    if (!m_isWorkerInstalled(kMonitorQueue, kMonitorWaitMs)) {
        LogMessage(CORE::SysMessageError, L"%s cannot be loaded", kMonitorQueue);
        return;
    }
    CORE::PropertyBag response;
    const CORE::ResponseType result = CORE::Quillmesh::System()->SendMsg(
        kMonitorQueue, L"configPerfmonMetrics", request, response, nullptr, nullptr, nullptr,
        0xFFFFFFFF, nullptr, nullptr, true, nullptr, nullptr, false);
    if (result == CORE::ResponseOk) {
        m_configured = true;
    } else {
        LogMessage(CORE::SysMessageError, L"cannot send message to helpdesk queue");
    }
}

bool HistoricalCollector::IsConfigured() const {
    const std::lock_guard<std::mutex> intake(m_intakeLock);
    return m_configured;
}

HistoryEntry HistoricalCollector::ReadPush(const CORE::PropertyBag& request) const {
    HistoryEntry entry;
    for (const wchar_t* key : {L"overall_cpu", L"overall_mem"}) {
        entry.overallValues.push_back(
            MetricValue{key, static_cast<double>(request.getInt64(key, 0)), 0});
    }
    for (const PerfCounterDefinition& metric : m_monitorMetrics) {
        CounterReading reading;
        static_cast<PerfCounterDefinition&>(reading) = metric;
        reading.value = static_cast<double>(request.getInt64(metric.strMetricName.c_str(), 0));
        entry.counterValues.push_back(std::move(reading));
    }
    ReadSessionValues(request, L"sessionCpuMetric", L"cpu", entry.sessionValues);
    ReadSessionValues(request, L"sessionMemMetric", L"mem", entry.sessionValues);
    return entry;
}

void HistoricalCollector::AddMonitorData(const CORE::PropertyBag& request,
                                         CORE::PropertyBag& /*reply*/) {
    HistoryEntry entry;
    {
        const std::lock_guard<std::mutex> intake(m_intakeLock);
        if (!m_configured) SendMonitorConfigurationLocked();
        UpdateCounterSet(m_latencySet, m_latencyTable);

        if (!WallClockMilliseconds(entry.timestamp)) {
            LogMessage(CORE::SysMessageError, L"Failed to get current timestamp, error is 0x%x",
                       GetLastError());
            entry.timestamp = 0;
        }
        HistoryEntry pushed = ReadPush(request);
        pushed.timestamp = entry.timestamp;
        entry = std::move(pushed);
        CollectReadings(m_latencySet, entry.counterValues);
    }

    const std::lock_guard<std::mutex> history(m_historyLock);
    if (m_history.size() >= kCapacity) m_history.pop_front();
    m_history.push_back(std::move(entry));
}

void HistoricalCollector::BuildHistoricalReply(int32_t sessionId, CORE::PropertyBag& reply) {
    const std::lock_guard<std::mutex> history(m_historyLock);
    if (m_history.empty()) return;
    CORE::PropertyBag metrics;
    for (const HistoryEntry& entry : m_history) {
        metrics.addBag(L"metric", EntryBag(entry, sessionId), false);
    }
    reply.addBag(L"historicalMetrics", metrics, false);
}
