// The hook every implemented Windows call runs at entry, so tests can make it fail on demand
// (winport::testing::FailCall).
#pragma once

#include <cstdint>
#include <optional>

namespace winport {

// The code the call `apiName` must fail with now, or nullopt to go on normally. Costs one
// relaxed atomic load while no failure is armed.
std::optional<uint32_t> TakeInjectedFailure(const char* apiName);

}  // namespace winport
