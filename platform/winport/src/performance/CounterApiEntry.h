// Entry of every PDH and WTS call: counts it (tests see how often a call was made) and takes
// a failure a test armed for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace winport {

// The code the call must fail with now, or nullopt to go on.
std::optional<uint32_t> EnterCounterApi(const char* apiName);

uint64_t CounterApiCallCount(const std::string& apiName);

}  // namespace winport
