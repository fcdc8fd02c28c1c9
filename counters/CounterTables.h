// The fixed tables of the counters the plug-in samples. Each builder appends its rows, in
// table order, to the caller's list and never clears it.
#pragma once

#include <vector>

#include "PerfCounterDefinition.h"

// Category bits of dwType.
constexpr DWORD kMachineCategory = 1;
constexpr DWORD kVexelCategory = 4;
constexpr DWORD kPcoipCategory = 8;

void AddVexelProtocolCounters(std::vector<PerfCounterDefinition>& list);
void AddPcoipProtocolCounters(std::vector<PerfCounterDefinition>& list);
void AddSessionLatencyCounters(std::vector<PerfCounterDefinition>& list);
void AddSystemPerformanceCounters(std::vector<PerfCounterDefinition>& list);
void AddHistoricalDiskCounters(std::vector<PerfCounterDefinition>& list);
