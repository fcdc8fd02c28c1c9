// The historical metrics collector: keeps the newest 30 samples pushed by the sibling
// performance monitor ("perfmon"), each completed with this plug-in's own per-session latency
// counters, and answers "HistoricalMetrics" for one session from them.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "PerfCounterDefinition.h"
#include "PerfCounterSet.h"
#include "quillmesh/Framework.h"

struct SessionValue {
    int32_t sessionId = -1;
    std::wstring key;
    double value = 0.0;
    DWORD category = 1;
};

struct HistoryEntry {
    int64_t timestamp = 0;  // milliseconds since 1970-01-01 UTC; 0 when the clock failed
    std::vector<MetricValue> overallValues;
    std::vector<CounterReading> counterValues;
    std::vector<SessionValue> sessionValues;
};

class HistoricalCollector {
  public:
    static constexpr size_t kCapacity = 30;

    // The process-wide collector, made on first use.
    static HistoricalCollector& Instance();

    // Whether the worker `queue` exists, waiting up to `timeoutMs` for it to be added.
    using WorkerCheck = bool (*)(const wchar_t* queue, DWORD timeoutMs);

    // `isWorkerInstalled` asks the framework unless a test hands in its own.
    explicit HistoricalCollector(WorkerCheck isWorkerInstalled = FrameworkWorkerCheck)
        : m_isWorkerInstalled(isWorkerInstalled) {}
    HistoricalCollector(const HistoricalCollector&) = delete;
    HistoricalCollector& operator=(const HistoricalCollector&) = delete;

    // Tells the monitor what to push unless the setting switches the collector off. May block
    // up to two minutes waiting for the monitor; always true.
    bool StartHistoricalCollector();
    // Sends "configPerfmonMetrics" to "perfmon"; marks the collector configured once delivered.
    void SendMonitorConfiguration();
    // Takes in one "NewDataFromTrelPerfmon" push. The reply is left untouched.
    void AddMonitorData(const CORE::PropertyBag& request, CORE::PropertyBag& reply);
    // Adds "historicalMetrics" for the session; nothing at all while the history is empty.
    void BuildHistoricalReply(int32_t sessionId, CORE::PropertyBag& reply);

    bool IsConfigured() const;

  private:
    static bool FrameworkWorkerCheck(const wchar_t* queue, DWORD timeoutMs);
    HistoryEntry ReadPush(const CORE::PropertyBag& request) const;
    void SendMonitorConfigurationLocked();

    // Serialises pushes: the configured flag, the latency set and the two tables are the
    // intake's, and two pushes delivered at once must not share a PDH query.
    WorkerCheck m_isWorkerInstalled;
    mutable std::mutex m_intakeLock;
    bool m_configured = false;
    std::vector<PerfCounterDefinition> m_monitorMetrics;
    std::vector<PerfCounterDefinition> m_latencyTable;
    PerfCounterSet m_latencySet;

    std::mutex m_historyLock;  // guards the history only
    std::deque<HistoryEntry> m_history;
};

// The session an instance name belongs to: "Session ID: %d" for Vexel (category 4),
// "PCoIP Session %d" for PCoIP (category 8). False for any other category or name.
bool SessionIdFromInstance(const std::wstring& instance, DWORD category, int32_t& sessionId);

// Milliseconds since 1970-01-01 UTC from the system clock; false when the clock cannot be
// converted.
bool WallClockMilliseconds(int64_t& milliseconds);
