// One counter row (object, counter, instance, metric key, session flag, category, multiplier),
// the values collections hand out, and the key that identifies a counter in a set.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

struct PerfCounterDefinition {
    std::wstring strCounterObject;  // English object name, e.g. "PhysicalDisk"
    std::wstring strCounter;        // English counter name, or "*" for every counter
    std::wstring strInstance;       // instance, "*" for every instance, empty for none
    std::wstring strMetricName;     // key the value is reported under; may be empty
    bool bSessionRelated = false;   // added only once an active session has been seen
    DWORD dwType = 0;               // category bits: 1 machine, 4 Vexel session, 8 PCoIP session
    DWORD dwScale = 1;              // multiplier applied to every value read
};

struct MetricValue {
    std::wstring key;
    double value = 0.0;
    DWORD category = 0;
};

// The definition's fields with the scaled value.
struct CounterReading : PerfCounterDefinition {
    double value = 0.0;
};

// "%s^%s^%s^%s^%d^%d" of object, counter, instance, metric key, type and session flag; the
// scale is not part of it, so two rows that differ only there are one counter.
std::wstring CounterKey(const PerfCounterDefinition& definition);

// Counter keys compare as null-terminated wide strings, code unit by code unit (wcscmp).
struct CounterKeyLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return std::wcscmp(a.c_str(), b.c_str()) < 0;
    }
};
