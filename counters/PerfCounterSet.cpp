#include "PerfCounterSet.h"

#include <windows.h>
#include <pdhmsg.h>

#include "CounterNameIndex.h"
#include "LogMessage.h"

namespace {

MetricValue ValueOf(const PerfCounterEntry& entry) {
    return MetricValue{entry.definition.strMetricName,
                       entry.value * static_cast<double>(entry.definition.dwScale),
                       entry.definition.dwType};
}

CounterReading ReadingOf(const PerfCounterEntry& entry) {
    CounterReading reading;
    static_cast<PerfCounterDefinition&>(reading) = entry.definition;
    reading.value = entry.value * static_cast<double>(entry.definition.dwScale);
    return reading;
}

unsigned Hex(PDH_STATUS status) {
    return static_cast<unsigned>(status);
}

// A counter that failed its read: dropped when the collection before failed too. Returns the
// entry that follows it.
PerfCounterMap::iterator HandleFailedRead(PerfCounterSet& set, PerfCounterMap::iterator entry) {
    const auto failedBefore = set.failed.find(entry->first);
    if (failedBefore == set.failed.end()) {
        set.failed.emplace(entry->first, entry->second);
        return std::next(entry);
    }
    set.failed.erase(failedBefore);
    if (!RemoveCounter(entry->second)) {
        LogMessage(CORE::SysMessageError, L"Failed to remove perf counter %s",
                   entry->second.path.c_str());
    }
    LogMessage(CORE::SysMessageVerbose, L"Erase the failure counter, metrics count: %d",
               static_cast<int>(set.counters.size() - 1));
    return set.counters.erase(entry);
}

// CollectValuesDropFailed and CollectReadings: `append` adds what a good read gives.
template <typename Append>
bool CollectDroppingFailed(PerfCounterSet& set, Append append) {
    if (!CollectQuery(set)) return false;
    for (auto entry = set.counters.begin(); entry != set.counters.end();) {
        const PDH_STATUS status = ReadFormattedValue(entry->second);
        if (status == ERROR_SUCCESS) {
            set.failed.erase(entry->first);
            append(entry->second);
            ++entry;
            continue;
        }
        LogMessage(CORE::SysMessageVerbose,
                   L"Failed to get data from counter, error: 0x%x, perf counter path %s",
                   Hex(status), entry->second.path.c_str());
        entry = HandleFailedRead(set, entry);
    }
    return true;
}

}  // namespace

PerfCounterEntry MakeCounterEntry(const PerfCounterDefinition& definition) {
    PerfCounterEntry entry;
    entry.definition = definition;
    return entry;
}

void BuildCounterPath(PerfCounterEntry& entry) {
    PerfCounterDefinition localized = entry.definition;
    LocalizeCounterName(entry.definition.strCounterObject, localized.strCounterObject);
    LocalizeCounterName(entry.definition.strCounter, localized.strCounter);
    if (localized.strInstance.empty()) {
        entry.path = L"\\" + localized.strCounterObject + L"\\" + localized.strCounter;
    } else {
        entry.path = L"\\" + localized.strCounterObject + L"(" + localized.strInstance + L")\\" +
                     localized.strCounter;
    }
}

void AddCounter(PerfCounterSet& set, const PerfCounterDefinition& definition) {
    PerfCounterEntry entry = MakeCounterEntry(definition);
    std::wstring key = CounterKey(definition);
    if (set.counters.count(key) != 0) return;
    BuildCounterPath(entry);
    if (!OpenAndAddCounter(set.query, entry.path, entry.counter)) return;
    set.counters.emplace(std::move(key), std::move(entry));
    LogMessage(CORE::SysMessageVerbose, L"Add counter: %s, %s, %s, metric: %s, metrics count: %d",
               definition.strCounterObject.c_str(), definition.strCounter.c_str(),
               definition.strInstance.c_str(), definition.strMetricName.c_str(),
               static_cast<int>(set.counters.size()));
}

PDH_STATUS ReadFormattedValue(PerfCounterEntry& entry) {
    if (entry.counter == nullptr) return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    PDH_FMT_COUNTERVALUE value{};
    const PDH_STATUS status =
        PdhGetFormattedCounterValue(entry.counter, PDH_FMT_DOUBLE, nullptr, &value);
    if (status == ERROR_SUCCESS) entry.value = value.doubleValue;
    return status;
}

bool RemoveCounter(PerfCounterEntry& entry) {
    if (entry.counter == nullptr) return true;
    const PDH_STATUS status = PdhRemoveCounter(entry.counter);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to remove counter, error: 0x%x", Hex(status));
        return false;
    }
    return true;
}

bool CollectQuery(PerfCounterSet& set) {
    return CollectQuery(set.query);
}

bool CollectValues(PerfCounterSet& set, std::vector<MetricValue>& values) {
    if (!CollectQuery(set)) return false;
    for (auto& [key, entry] : set.counters) {
        const PDH_STATUS status = ReadFormattedValue(entry);
        if (status != ERROR_SUCCESS) {
            LogMessage(CORE::SysMessageError,
                       L"Failed to get data from counter, error: 0x%x, perf counter path %s",
                       Hex(status), entry.path.c_str());
            continue;
        }
        values.push_back(ValueOf(entry));
    }
    return true;
}

bool CollectValuesDropFailed(PerfCounterSet& set, std::vector<MetricValue>& values) {
    return CollectDroppingFailed(
        set, [&](const PerfCounterEntry& entry) { values.push_back(ValueOf(entry)); });
}

bool CollectReadings(PerfCounterSet& set, std::vector<CounterReading>& readings) {
    return CollectDroppingFailed(
        set, [&](const PerfCounterEntry& entry) { readings.push_back(ReadingOf(entry)); });
}
