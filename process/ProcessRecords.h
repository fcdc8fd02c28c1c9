// Per-process metrics from two readings of the process table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ProcessMap.h"

// One process's metrics over the interval between two readings.
struct ProcessRecord {
    uint32_t processId = 0;
    int64_t createTime = 0;  // seconds since 1970-01-01 UTC
    uint32_t cpu = 0;        // percent of the machine's processor time
    uint32_t mem = 0;        // private bytes
    uint32_t disk = 0;       // bytes read and written, modulo 2^32
    uint32_t sessionId = 0;
    std::wstring name;
    std::wstring userName;
};

struct ProcessList {
    int64_t timestamp = 0;  // milliseconds since 1970-01-01 UTC; 0 when the clock failed
    std::vector<ProcessRecord> records;
};

// Appends one record per entry of `current`, in its order, to `list.records` and sets
// `list.timestamp`. `interval` is the growth of the processor-time total between the two
// readings (100-ns units). A process missing from `previous` reports cpu 0 and disk 0.
void ComputeProcessRecords(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                           ProcessList& list);

// The same, but the records replace those of `list`, whose storage (names included) they reuse:
// a thread that computes every second allocates only for processes beyond the most it has seen.
void RecomputeProcessRecords(const ProcessMap& previous, const ProcessMap& current,
                             int64_t interval, ProcessList& list);
