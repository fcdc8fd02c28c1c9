// The arithmetic of process records: times in 100-ns units since 1601 to Unix seconds and
// milliseconds, processor shares and transfer deltas, wrapping exactly as the Windows integer
// types do.
#pragma once

#include <cstdint>

#include "ProcessSnapshotTypes.h"

// Milliseconds from 1601-01-01 to 1970-01-01.
inline constexpr uint64_t kUnixEpochInFileTimeMs = 11644473600000ull;

// FILETIME value to milliseconds since 1970: an unsigned division by 10000, then the epoch
// subtracted (wrapping; earlier times give negative values).
int64_t FileTimeToUnixMilliseconds(uint64_t fileTime);

// A creation time (100-ns units since 1601) to whole seconds since 1970, truncated toward zero.
int64_t CreationTimeToUnixSeconds(int64_t creationTime);

// Percent of `interval` (growth of all processors' time) that the process used between two
// readings, truncated toward zero, low 32 bits. An interval that is not positive (the
// processor totals did not advance) gives 0 instead of a division by zero.
uint32_t ProcessorShare(const ProcessCounters& previous, const ProcessCounters& current,
                        int64_t interval);

// Bytes read plus written between two readings, on the low 32 bits of each counter, modulo 2^32.
uint32_t TransferDelta(const ProcessCounters& previous, const ProcessCounters& current);
