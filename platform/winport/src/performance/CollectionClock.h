// The time stamp of a PDH collection, in microseconds of the monotonic clock, or a time a
// test fixed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace winport::pdh {

uint64_t CollectionTimeUs();
void FixCollectionTime(std::optional<std::chrono::milliseconds> time);

}  // namespace winport::pdh
