#include "ProcessRecords.h"

#include <windows.h>

#include "LogMessage.h"
#include "ProcessArithmetic.h"
#include "ProcessUserName.h"

namespace {

// Fills `record` in place, so that its names keep their storage. `domain` is scratch space for
// the user lookup, kept by the caller for the same reason.
void WriteRecord(const ProcessKey& key, const ProcessCounters& counters,
                 const ProcessCounters* previous, int64_t interval, ProcessRecord& record,
                 std::wstring& domain) {
    record.processId = static_cast<uint32_t>(key.processId);
    record.createTime = CreationTimeToUnixSeconds(key.creationTime);
    record.cpu = previous != nullptr ? ProcessorShare(*previous, counters, interval) : 0;
    record.disk = previous != nullptr ? TransferDelta(*previous, counters) : 0;
    record.mem = counters.privateBytes;
    record.sessionId = counters.sessionId;
    record.name.assign(counters.imageName);
    record.userName.clear();  // stays empty when the lookup fails
    // The domain is dropped: the console shows the account name alone.
    GetProcessUserName(record.processId, record.userName, domain);
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

// Writes the records of `current` from `first` on. Both maps are in key order, so one walk
// through `previous` finds every earlier reading.
void WriteRecords(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                  ProcessList& list, size_t first) {
    list.records.resize(first + current.size());
    auto earlier = previous.begin();
    std::wstring domain;
    size_t index = first;
    for (const auto& [key, counters] : current) {
        while (earlier != previous.end() && earlier->first < key) ++earlier;
        const bool seen = earlier != previous.end() && earlier->first == key;
        WriteRecord(key, counters, seen ? &earlier->second : nullptr, interval,
                    list.records[index++], domain);
    }
    list.timestamp = CurrentTimestamp();
}

}  // namespace

void ComputeProcessRecords(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                           ProcessList& list) {
    WriteRecords(previous, current, interval, list, list.records.size());
}

void RecomputeProcessRecords(const ProcessMap& previous, const ProcessMap& current,
                             int64_t interval, ProcessList& list) {
    WriteRecords(previous, current, interval, list, 0);
}
