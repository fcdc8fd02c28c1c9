// What the performance monitor measures for one push: the machine's processor and memory load,
// the counters a plug-in asked for (read through PDH) and each session's share of processor
// time and memory, computed from the process table.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ProcessMap.h"
#include "UniqueHandle.h"

// One counter a plug-in asked for in "configPerfmonMetrics".
struct MonitoredCounter {
    std::wstring object;
    std::wstring counter;
    std::wstring instance;
    std::wstring metricName;
    DWORD scale = 1;
};

struct SessionLoad {
    int64_t cpu = 0;  // percent of the machine's processor time since the previous reading
    int64_t mem = 0;  // percent of physical memory in the working sets of its processes
};

struct MonitorReading {
    int64_t overallCpu = 0;                                  // percent
    int64_t overallMem = 0;                                  // percent
    std::vector<std::pair<std::wstring, int64_t>> counters;  // metric name, scaled value
    std::map<uint32_t, SessionLoad> sessions;
};

class PerfmonSampler {
  public:
    PerfmonSampler();
    PerfmonSampler(const PerfmonSampler&) = delete;
    PerfmonSampler& operator=(const PerfmonSampler&) = delete;

    // Replaces the counters read besides the processor total. Counters that cannot be added
    // are left out of the readings.
    void Configure(const std::vector<MonitoredCounter>& counters);
    // The first reading has no previous one: rates and shares read 0 there.
    MonitorReading Read();

  private:
    struct Counter {
        std::wstring metricName;
        DWORD scale = 1;
        PDH_HCOUNTER handle = nullptr;
    };
    void ReadSessions(MonitorReading& reading);

    UniquePdhQuery m_query;
    PDH_HCOUNTER m_processorTotal = nullptr;
    std::vector<Counter> m_counters;
    uint64_t m_previousMachineTime = 0;
    ProcessMap m_previousProcesses;
};
