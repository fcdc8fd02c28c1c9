#include "PerfCounterDefinition.h"

std::wstring CounterKey(const PerfCounterDefinition& definition) {
    std::wstring key;
    for (const std::wstring* text : {&definition.strCounterObject, &definition.strCounter,
                                     &definition.strInstance, &definition.strMetricName}) {
        key += *text;
        key += L'^';
    }
    // %d of a DWORD prints its bits as a signed number.
    key += std::to_wstring(static_cast<int>(definition.dwType));
    key += L'^';
    key += definition.bSessionRelated ? L'1' : L'0';
    return key;
}
