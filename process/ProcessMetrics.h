// The "ProcessMetrics" operation: the machine's or a session's processes with their processor
// share, private memory and disk transfer over one second.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "quillmesh/Framework.h"
#include "ProcessSnapshotTypes.h"

bool HandleProcessMetrics(const CORE::PropertyBag& request, CORE::PropertyBag& reply);

// One "process" bag per record, in order, added to `out`.
void AddProcessBags(const std::vector<ProcessRecord>& records, CORE::PropertyBag& out);

// The records of the second of two readings taken one second apart.
bool SampleProcesses(ProcessList& list);
// The same with `measuredInterval` run between the readings in place of the one-second wait
// (tests act inside the measured interval through it).
bool SampleProcesses(ProcessList& list, const std::function<void()>& measuredInterval);

// Adds the "process" bags the filter selects to `out`; false only for an unknown filter value.
bool FilterProcessesBySession(const ProcessList& list, int32_t sessionId,
                              const CORE::PropertyBag& processFilter, CORE::PropertyBag& out);

// The "process" bags of the records of `sessionId`, and of session 0 when `includeSessionZero`.
void AddSessionProcessBags(int32_t sessionId, bool includeSessionZero,
                           const std::vector<ProcessRecord>& records, CORE::PropertyBag& out);
