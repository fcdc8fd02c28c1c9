// Sampled doubles are reported as 64-bit integers truncated toward zero.
#pragma once

#include <cstdint>
#include <limits>

// Truncates toward zero; a value beyond the 64-bit range is clamped and NaN gives 0, where a
// plain conversion would be undefined.
inline int64_t TruncatedValue(double value) {
    if (value != value) return 0;
    if (value >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}
