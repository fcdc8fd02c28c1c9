// A counter set: one PDH query with its counters, each remembered with the definition that
// made it, collected once or again and again. Used by one thread at a time.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <map>
#include <string>
#include <vector>

#include "PerfCounterDefinition.h"
#include "PerfQuery.h"

struct PerfCounterEntry {
    std::wstring path;           // full PDH counter path; empty until built
    HCOUNTER counter = nullptr;  // from PdhAddCounterW
    double value = 0.0;          // last value read, before scaling
    PerfCounterDefinition definition;
};

using PerfCounterMap = std::map<std::wstring, PerfCounterEntry, CounterKeyLess>;

// Members are destroyed in reverse order: the containers go first, then the query is closed,
// which releases its counters.
struct PerfCounterSet {
    PerfQuery query;
    PerfCounterMap counters;  // by counter key
    PerfCounterMap failed;    // copies of the entries whose last read failed, by counter key
};

// A fresh entry for the definition: no path, no counter, value 0.0.
PerfCounterEntry MakeCounterEntry(const PerfCounterDefinition& definition);

// Path from the definition with object and counter names in the display language:
// "\object(instance)\counter", or "\object\counter" without an instance.
void BuildCounterPath(PerfCounterEntry& entry);

// Adds the definition's counter unless its key is present already.
void AddCounter(PerfCounterSet& set, const PerfCounterDefinition& definition);

// PDH_INVALID_HANDLE without a call when the entry has no counter; on success the entry's
// value is the counter's value as a double.
PDH_STATUS ReadFormattedValue(PerfCounterEntry& entry);

// True without a call when the entry has no counter.
bool RemoveCounter(PerfCounterEntry& entry);

bool CollectQuery(PerfCounterSet& set);

// Collect, then append a value for every counter that reads, in key order; a counter that does
// not read is logged and kept. The list is never cleared.
bool CollectValues(PerfCounterSet& set, std::vector<MetricValue>& values);

// The same, but a counter that fails on two collections in a row is removed from the set.
bool CollectValuesDropFailed(PerfCounterSet& set, std::vector<MetricValue>& values);
bool CollectReadings(PerfCounterSet& set, std::vector<CounterReading>& readings);
