#include "ProcessRecords.h"

#include <windows.h>

#include "LogMessage.h"
#include "ProcessArithmetic.h"
#include "ProcessUserName.h"

namespace {

ProcessRecord MakeRecord(const ProcessKey& key, const ProcessCounters& counters,
                         const ProcessCounters* previous, int64_t interval) {
    ProcessRecord record;
    record.processId = static_cast<uint32_t>(key.processId);
    record.createTime = CreationTimeToUnixSeconds(key.creationTime);
    if (previous != nullptr) {
        record.cpu = ProcessorShare(*previous, counters, interval);
        record.disk = TransferDelta(*previous, counters);
    }
    record.mem = counters.privateBytes;
    record.sessionId = counters.sessionId;
    record.name = counters.imageName;
    std::wstring domain;  // dropped: the console shows the account name alone
    GetProcessUserName(record.processId, record.userName, domain);
    return record;
}

// Milliseconds since 1970 now; 0 (with a log line) when the clock cannot be converted.
int64_t CurrentTimestamp() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME fileTime;
    if (!SystemTimeToFileTime(&now, &fileTime)) {
        LogMessage(CORE::SysMessageError, L"Failed to get current timestamp, error is 0x%x",
                   GetLastError());
        return 0;
    }
    return FileTimeToUnixMilliseconds((static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) |
                                      fileTime.dwLowDateTime);
}

}  // namespace

void ComputeProcessRecords(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                           ProcessList& list) {
    list.records.reserve(list.records.size() + current.size());
    for (const auto& [key, counters] : current) {
        auto found = previous.find(key);
        list.records.push_back(MakeRecord(
            key, counters, found == previous.end() ? nullptr : &found->second, interval));
    }
    list.timestamp = CurrentTimestamp();
}
