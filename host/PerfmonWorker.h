// The performance monitor worker "perfmon" of the service host. A plug-in tells it with
// "configPerfmonMetrics" which counters it wants; from then on it pushes
// "NewDataFromTrelPerfmon" to the worker "AgentHelpDesk" at a steady rate with the machine's
// load, those counters and each session's load.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "PerfmonSampler.h"
#include "quillmesh/Framework.h"

class PerfmonWorker {
  public:
    explicit PerfmonWorker(std::chrono::milliseconds interval);
    // Stops pushing and unregisters the worker.
    ~PerfmonWorker();
    PerfmonWorker(const PerfmonWorker&) = delete;
    PerfmonWorker& operator=(const PerfmonWorker&) = delete;

    // Registers "perfmon" with the framework; one instance at a time.
    bool Register();
    // Ends the pushes; waits for one in flight.
    void Stop();

    // Handles "configPerfmonMetrics": false, with an error on the reply, for anything else.
    bool HandleMessage(const CORE::corestring<wchar_t>& operation, const CORE::PropertyBag& request,
                       CORE::PropertyBag& reply);

  private:
    void PushLoop();
    bool WaitInterval();

    const std::chrono::milliseconds m_interval;
    std::mutex m_lock;  // guards everything below
    std::condition_variable m_wake;
    std::optional<std::vector<MonitoredCounter>> m_pendingCounters;
    bool m_stopping = false;
    std::thread m_pusher;
};

// The counters of a "configPerfmonMetrics" request; entries without object or counter name or
// metric name are skipped, a scale below 1 counts as 1.
std::vector<MonitoredCounter> ReadMonitoredCounters(const CORE::PropertyBag& request);

// The "NewDataFromTrelPerfmon" request for one reading.
CORE::PropertyBag BuildMonitorPush(const MonitorReading& reading);
