#include "CollectionClock.h"

#include <atomic>

namespace winport::pdh {
namespace {

constexpr int64_t kNotFixed = -1;
std::atomic<int64_t> fixedTimeUs{kNotFixed};

}  // namespace

uint64_t CollectionTimeUs() {
    const int64_t fixed = fixedTimeUs.load();
    if (fixed != kNotFixed) return static_cast<uint64_t>(fixed);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void FixCollectionTime(std::optional<std::chrono::milliseconds> time) {
    if (!time) {
        fixedTimeUs.store(kNotFixed);
        return;
    }
    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(*time).count();
    fixedTimeUs.store(us < 0 ? 0 : us);
}

}  // namespace winport::pdh
