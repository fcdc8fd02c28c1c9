#include "ProcessMetrics.h"

#include <windows.h>

#include "LogMessage.h"
#include "ProcessRecords.h"
#include "ProcessSnapshot.h"

namespace {

constexpr DWORD kSampleIntervalMs = 1000;
constexpr int32_t kNoSession = -1;

CORE::PropertyBag ProcessBag(const ProcessRecord& record) {
    CORE::PropertyBag bag;
    bag.addInt64(L"id", static_cast<int64_t>(record.processId));
    bag.addInt64(L"create_time", record.createTime);
    bag.add(L"name", record.name);
    bag.addInt64(L"cpu", static_cast<int64_t>(record.cpu));
    bag.addInt64(L"mem", static_cast<int64_t>(record.mem));
    bag.addInt64(L"disk", static_cast<int64_t>(record.disk));
    bag.add(L"user_name", record.userName);
    bag.addInt(L"session_id", static_cast<int32_t>(record.sessionId));
    return bag;
}

// Processor total taken just before a snapshot, and the snapshot.
bool TakeReading(uint64_t& total, ProcessMap& map) {
    uint64_t idle = 0;
    return QueryProcessorTimes(total, idle) && TakeProcessSnapshot(map);
}

}  // namespace

void AddProcessBags(const std::vector<ProcessRecord>& records, CORE::PropertyBag& out) {
    for (const ProcessRecord& record : records) out.addBag(L"process", ProcessBag(record), false);
}

void AddSessionProcessBags(int32_t sessionId, bool includeSessionZero,
                           const std::vector<ProcessRecord>& records, CORE::PropertyBag& out) {
    for (const ProcessRecord& record : records) {
        if (record.sessionId == static_cast<uint32_t>(sessionId) ||
            (includeSessionZero && record.sessionId == 0)) {
            out.addBag(L"process", ProcessBag(record), false);
        }
    }
}

bool SampleProcesses(ProcessList& list) {
    return SampleProcesses(list, [] { Sleep(kSampleIntervalMs); });
}

bool SampleProcesses(ProcessList& list, const std::function<void()>& measuredInterval) {
    ProcessMap previous;
    ProcessMap current;
    uint64_t firstTotal = 0;
    uint64_t secondTotal = 0;
    if (!TakeReading(firstTotal, current)) return false;
    measuredInterval();
    previous.swap(current);  // `current` is now the empty one
    if (!TakeReading(secondTotal, current)) return false;
    ProcessList computed;
    ComputeProcessRecords(previous, current, static_cast<int64_t>(secondTotal - firstTotal),
                          computed);
    list = std::move(computed);
    return true;
}

bool FilterProcessesBySession(const ProcessList& list, int32_t sessionId,
                              const CORE::PropertyBag& processFilter, CORE::PropertyBag& out) {
    const CORE::corestring<wchar_t> filter = processFilter.get(L"processSessionFilter", L"");
    if (sessionId == kNoSession || filter.empty()) {
        AddProcessBags(list.records, out);
        return true;
    }
    if (filter == L"CURRENT_USER_SESSION") {
        AddSessionProcessBags(sessionId, false, list.records, out);
        return true;
    }
    if (filter == L"SYSTEM_AND_CURRENT_USER_SESSION") {
        AddSessionProcessBags(sessionId, true, list.records, out);
        return true;
    }
    LogMessage(CORE::SysMessageError, L"Process session filter: %s is invalid", filter.c_str());
    return false;
}

bool HandleProcessMetrics(const CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    ProcessList list;
    if (!SampleProcesses(list)) {
        reply.setError(L"Failed to handle process performance request");
        return false;
    }
    const int32_t sessionId = request.getInt(L"SESSIONID", kNoSession);
    const CORE::PropertyBag processFilter = request.getBag(L"processFilter");
    CORE::PropertyBag result;
    if (!FilterProcessesBySession(list, sessionId, processFilter, result)) {
        reply.setError(L"Failed to filter process by session");
        return false;
    }
    CORE::PropertyBag metrics(result);
    metrics.addInt64(L"timestamp", list.timestamp);
    reply.addBag(L"processMetrics", metrics, false);
    return true;
}
