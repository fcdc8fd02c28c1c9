#include "CounterModel.h"

#include <algorithm>

#include "CaseFold.h"

namespace winport::pdh {
namespace {

FormattedValue Invalid(DWORD cstatus) {
    return {static_cast<PDH_STATUS>(PDH_INVALID_DATA), cstatus, 0.0};
}

FormattedValue Failed(DWORD status) {
    return {static_cast<PDH_STATUS>(status), status, 0.0};
}

// Counts only grow; a smaller value means the source was reset (a disk re-attached, a wrap).
FormattedValue FromDeltas(const CounterInfo& info, const Sample& previous, const Sample& current) {
    if (current.raw.first < previous.raw.first) return Failed(PDH_CALC_NEGATIVE_VALUE);
    const double numerator = static_cast<double>(current.raw.first - previous.raw.first);
    double denominator = 0.0;
    if (info.kind == CounterKind::Rate) {
        if (current.timeUs < previous.timeUs) return Failed(PDH_CALC_NEGATIVE_TIMEBASE);
        denominator = static_cast<double>(current.timeUs - previous.timeUs) / 1e6;
    } else {
        if (current.raw.second < previous.raw.second) return Failed(PDH_CALC_NEGATIVE_DENOMINATOR);
        denominator = static_cast<double>(current.raw.second - previous.raw.second);
    }
    // Nothing happened in between (no transfer, no tick): PDH shows 0.
    const double value = denominator > 0.0 ? info.factor * numerator / denominator : 0.0;
    return {0, PDH_CSTATUS_VALID_DATA, value};
}

}  // namespace

std::optional<size_t> ObjectData::FindCounter(std::wstring_view counter) const {
    for (size_t i = 0; i < counters.size(); ++i) {
        if (EqualsIgnoringCase(counters[i].name, counter)) return i;
    }
    return std::nullopt;
}

const ObjectInstance* ObjectData::FindInstance(std::wstring_view instance) const {
    for (const ObjectInstance& candidate : instances) {
        if (EqualsIgnoringCase(candidate.name, instance)) return &candidate;
    }
    return nullptr;
}

FormattedValue FormatCounter(const CounterInfo& info, const Sample* previous, const Sample& current,
                             DWORD format) {
    if (current.status != PDH_CSTATUS_VALID_DATA) return Invalid(current.status);
    FormattedValue result{0, PDH_CSTATUS_VALID_DATA, current.raw.value};
    if (info.kind != CounterKind::Raw) {
        // A difference needs two good samples in a row.
        if (previous == nullptr || previous->status != PDH_CSTATUS_VALID_DATA) {
            return Invalid(PDH_CSTATUS_INVALID_DATA);
        }
        result = FromDeltas(info, *previous, current);
        if (result.status != 0) return result;
    }
    if (info.percent && (format & PDH_FMT_NOCAP100) == 0)
        result.value = std::min(result.value, 100.0);
    if ((format & PDH_FMT_1000) != 0) result.value *= 1000.0;
    return result;
}

}  // namespace winport::pdh
