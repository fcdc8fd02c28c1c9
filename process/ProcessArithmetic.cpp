#include "ProcessArithmetic.h"

int64_t FileTimeToUnixMilliseconds(uint64_t fileTime) {
    return static_cast<int64_t>(fileTime / 10000 - kUnixEpochInFileTimeMs);
}

int64_t CreationTimeToUnixSeconds(int64_t creationTime) {
    return FileTimeToUnixMilliseconds(static_cast<uint64_t>(creationTime)) / 1000;
}

uint32_t ProcessorShare(const ProcessCounters& previous, const ProcessCounters& current,
                        int64_t interval) {
    if (interval <= 0) return 0;
    // Two's-complement wrapping of signed 64-bit arithmetic, without the undefined behaviour of
    // signed overflow: computed unsigned, divided signed.
    const uint64_t used =
        static_cast<uint64_t>(current.kernelTime) + static_cast<uint64_t>(current.userTime) -
        static_cast<uint64_t>(previous.kernelTime) - static_cast<uint64_t>(previous.userTime);
    const int64_t scaled = static_cast<int64_t>(used * 100u);
    return static_cast<uint32_t>(scaled / interval);
}

uint32_t TransferDelta(const ProcessCounters& previous, const ProcessCounters& current) {
    return static_cast<uint32_t>(current.bytesRead) + static_cast<uint32_t>(current.bytesWritten) -
           static_cast<uint32_t>(previous.bytesRead) - static_cast<uint32_t>(previous.bytesWritten);
}
