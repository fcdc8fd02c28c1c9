#include "CounterSetUpdate.h"

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <wtsapi32.h>

#include <string>

#include "WtsMemory.h"
#include "LogMessage.h"

std::atomic<bool> ActiveSessionSeen{false};

namespace {

constexpr const wchar_t* kEveryone = L"*";

// Adds "Processor(_Total)\% User Time" to a query of its own and collects it once, so that
// the performance library is loaded and warm; the set is not touched.
void ProbeCounters() {
    PerfCounterDefinition probe;
    probe.strCounterObject = L"Processor";
    probe.strCounter = L"% User Time";
    probe.strInstance = L"_Total";
    PerfCounterEntry entry = MakeCounterEntry(probe);
    PerfQuery query;
    BuildCounterPath(entry);
    if (OpenAndAddCounter(query, entry.path, entry.counter)) {
        CollectQuery(query);
    } else {
        LogMessage(CORE::SysMessageWarning, L"Perf Counter update, failed to add counter");
    }
}

bool AnySessionActive() {
    WtsMemory<WTS_SESSION_INFOW> sessions;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.put(), &count)) {
        LogMessage(CORE::SysMessageError, L"Error to enumerate sessions, error code is 0x%x",
                   static_cast<unsigned>(GetLastError()));
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (sessions.get()[i].State == WTSActive) return true;
    }
    return false;
}

// Session-bound rows wait for the first active session; after it no enumeration happens.
bool PassesSessionGate(const PerfCounterDefinition& row) {
    if (ActiveSessionSeen.load() || !row.bSessionRelated) return true;
    const bool active = AnySessionActive();
    ActiveSessionSeen.store(active);
    return active;
}

// Strings separated by NUL, ended by an empty string, never read past the buffer.
std::vector<std::wstring> SplitMultiString(const std::vector<wchar_t>& buffer) {
    std::vector<std::wstring> items;
    size_t at = 0;
    while (at < buffer.size() && buffer[at] != L'\0') {
        size_t end = at;
        while (end < buffer.size() && buffer[end] != L'\0') ++end;
        items.emplace_back(buffer.begin() + at, buffer.begin() + end);
        at = end + 1;
    }
    return items;
}

void LogListFailure(const PerfCounterDefinition& row, PDH_STATUS status) {
    LogMessage(CORE::SysMessageWarning, L"Failed to list counters for object %s, error: 0x%x",
               row.strCounterObject.c_str(), static_cast<unsigned>(status));
    LogMessage(CORE::SysMessageWarning, L"Failed to extend counter: %s",
               row.strCounterObject.c_str());
}

PerfCounterDefinition Expanded(const PerfCounterDefinition& row, const std::wstring& counter,
                               const std::wstring& instance) {
    PerfCounterDefinition expanded = row;
    expanded.strCounter = counter;
    expanded.strInstance = instance;
    if (row.strMetricName.empty()) {
        expanded.strMetricName = row.strCounterObject + L"|" + counter + L"|" + instance;
    }
    expanded.dwScale = 1;
    return expanded;
}

}  // namespace

void ExpandCounter(PerfCounterSet& set, const PerfCounterDefinition& row) {
    DWORD counterLength = 0;
    DWORD instanceLength = 0;
    PDH_STATUS status =
        PdhEnumObjectItemsW(nullptr, nullptr, row.strCounterObject.c_str(), nullptr, &counterLength,
                            nullptr, &instanceLength, PERF_DETAIL_WIZARD, 0);
    if (status != static_cast<PDH_STATUS>(PDH_MORE_DATA)) {
        LogListFailure(row, status);
        return;
    }
    std::vector<wchar_t> counterBuffer(counterLength);
    std::vector<wchar_t> instanceBuffer(instanceLength);
    status =
        PdhEnumObjectItemsW(nullptr, nullptr, row.strCounterObject.c_str(),
                            counterBuffer.empty() ? nullptr : counterBuffer.data(), &counterLength,
                            instanceBuffer.empty() ? nullptr : instanceBuffer.data(),
                            &instanceLength, PERF_DETAIL_WIZARD, 0);
    if (status != ERROR_SUCCESS) {
        LogListFailure(row, status);
        return;
    }
    const std::vector<std::wstring> counters = SplitMultiString(counterBuffer);
    const std::vector<std::wstring> instances = SplitMultiString(instanceBuffer);
    for (const std::wstring& counter : counters) {
        if (row.strCounter != kEveryone && row.strCounter != counter) continue;
        for (const std::wstring& instance : instances) {
            if (row.strInstance != kEveryone && row.strInstance != instance) continue;
            AddCounter(set, Expanded(row, counter, instance));
        }
    }
}

void UpdateCounterSet(PerfCounterSet& set, const std::vector<PerfCounterDefinition>& list) {
    ProbeCounters();
    for (const PerfCounterDefinition& row : list) {
        if (!PassesSessionGate(row)) continue;
        if (row.strCounter != kEveryone && row.strInstance != kEveryone) {
            AddCounter(set, row);
        } else {
            ExpandCounter(set, row);
        }
    }
}
