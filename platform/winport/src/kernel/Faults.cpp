// Failures armed by tests, taken by the calls they name.
#include "Faults.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "winport/testing.h"

namespace winport {
namespace {

struct ArmedFailure {
    std::string apiName;
    uint32_t code = 0;
    unsigned skip = 0;   // calls still to let through
    unsigned times = 0;  // failures still to give; 0 = for ever
};

class FailureTable {
  public:
    void Arm(ArmedFailure failure) {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::move(failure));
        armed_.store(failures_.size(), std::memory_order_relaxed);
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        failures_.clear();
        armed_.store(0, std::memory_order_relaxed);
    }

    // Every armed failure for the call counts it; the earliest one that is due fires.
    std::optional<uint32_t> Take(const char* apiName) {
        if (armed_.load(std::memory_order_relaxed) == 0) return std::nullopt;
        std::lock_guard lock(mutex_);
        std::optional<uint32_t> code;
        for (auto it = failures_.begin(); it != failures_.end();) {
            if (it->apiName != apiName) {
                ++it;
            } else if (it->skip > 0) {
                --it->skip;
                ++it;
            } else if (code) {
                ++it;
            } else {
                code = it->code;
                it = Consume(it);
            }
        }
        armed_.store(failures_.size(), std::memory_order_relaxed);
        return code;
    }

  private:
    std::vector<ArmedFailure>::iterator Consume(std::vector<ArmedFailure>::iterator it) {
        if (it->times == 0) return it + 1;
        if (--it->times > 0) return it + 1;
        return failures_.erase(it);
    }

    std::mutex mutex_;
    std::vector<ArmedFailure> failures_;
    std::atomic<size_t> armed_{0};
};

// Never destroyed: calls made by other libraries' destructors at exit still find it.
FailureTable& Failures() {
    static auto* table = new FailureTable();
    return *table;
}

}  // namespace

std::optional<uint32_t> TakeInjectedFailure(const char* apiName) {
    return Failures().Take(apiName);
}

}  // namespace winport

namespace winport::testing {

void FailCall(const std::string& apiName, uint32_t code, unsigned skip, unsigned times) {
    Failures().Arm({apiName, code, skip, times});
}

void ClearFailures() {
    Failures().Clear();
}

}  // namespace winport::testing
