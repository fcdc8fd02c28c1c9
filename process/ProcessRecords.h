// Per-process metrics from two readings of the process table.
#pragma once

#include <cstdint>

#include "ProcessSnapshotTypes.h"

// Appends one record per entry of `current`, in its order, to `list.records` and sets
// `list.timestamp`. `interval` is the growth of the processor-time total between the two
// readings (100-ns units). A process missing from `previous` reports cpu 0 and disk 0.
void ComputeProcessRecords(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                           ProcessList& list);
