// What a counter object is made of, and how PDH turns two raw samples into a formatted value.
#pragma once

#include <pdh.h>
#include <pdhmsg.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winport::pdh {

enum class CounterKind {
    Raw,    // the sample's value as it is
    Rate,   // factor * (change of `first`) / (seconds between the samples)
    Ratio,  // factor * (change of `first`) / (change of `second`)
};

struct CounterInfo {
    std::wstring name;
    CounterKind kind = CounterKind::Raw;
    double factor = 1.0;
    bool percent = false;  // capped at 100 unless PDH_FMT_NOCAP100
    DWORD perfType = PERF_COUNTER_LARGE_RAWCOUNT;
};

struct RawValue {
    double value = 0.0;   // Raw counters
    uint64_t first = 0;   // cumulative count (Rate, Ratio)
    uint64_t second = 0;  // cumulative base (Ratio)
};

struct ObjectInstance {
    std::wstring name;                            // empty in an object without instances
    std::vector<std::optional<RawValue>> values;  // one per counter of the object, in order
};

// One reading of a counter object: its counters and, per instance, their raw values.
struct ObjectData {
    std::wstring name;
    std::vector<CounterInfo> counters;
    bool hasInstances = true;
    std::vector<ObjectInstance> instances;

    // Names compare without regard to case, as PDH does.
    std::optional<size_t> FindCounter(std::wstring_view counter) const;
    const ObjectInstance* FindInstance(std::wstring_view instance) const;
};

// One counter's reading at one collection.
struct Sample {
    DWORD status = PDH_CSTATUS_INVALID_DATA;  // PDH_CSTATUS_VALID_DATA when `raw` holds a value
    RawValue raw;
    uint64_t timeUs = 0;  // when the collection was taken
};

struct FormattedValue {
    PDH_STATUS status = 0;  // the call's result
    DWORD cstatus = PDH_CSTATUS_VALID_DATA;
    double value = 0.0;
};

// The value PdhGetFormattedCounterValue reports from the last two samples (`previous` is null
// before the second collection). Modifiers PDH_FMT_NOCAP100 and PDH_FMT_1000 are applied.
FormattedValue FormatCounter(const CounterInfo& info, const Sample* previous, const Sample& current,
                             DWORD format);

}  // namespace winport::pdh
