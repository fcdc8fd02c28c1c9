#include "CounterApiEntry.h"

#include <map>
#include <mutex>

#include "Faults.h"

namespace winport {
namespace {

class CallCounts {
  public:
    void Count(const char* apiName) {
        std::lock_guard lock(lock_);
        ++counts_[apiName];
    }
    uint64_t Get(const std::string& apiName) {
        std::lock_guard lock(lock_);
        const auto found = counts_.find(apiName);
        return found != counts_.end() ? found->second : 0;
    }

  private:
    std::mutex lock_;
    std::map<std::string, uint64_t, std::less<>> counts_;
};

CallCounts& Counts() {
    static auto* counts = new CallCounts();
    return *counts;
}

}  // namespace

std::optional<uint32_t> EnterCounterApi(const char* apiName) {
    Counts().Count(apiName);
    return TakeInjectedFailure(apiName);
}

uint64_t CounterApiCallCount(const std::string& apiName) {
    return Counts().Get(apiName);
}

}  // namespace winport
