// The "Processor" counter object: one instance per processor ("0", "1", ...) and "_Total",
// from the tick counts of /proc/stat.
#pragma once

#include <string_view>

#include "CounterModel.h"

namespace winport::pdh {

inline constexpr wchar_t kProcessorObject[] = L"Processor";

const std::vector<CounterInfo>& ProcessorCounters();

// The object as the text of /proc/stat shows it; lines that are not processor lines are
// ignored, and so is a processor line without the four basic tick counts.
ObjectData ParseProcessorObject(std::string_view procStat);

}  // namespace winport::pdh
