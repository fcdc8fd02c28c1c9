#include "ModuleLifecycle.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::atomic<bool> processExiting{false};

void MarkProcessExiting() {
    processExiting.store(true);
}

class AttachFailures {
  public:
    void Add(HMODULE module) {
        std::lock_guard lock(mutex_);
        modules_.push_back(module);
    }

    bool Take(HMODULE module) {
        std::lock_guard lock(mutex_);
        const auto it = std::find(modules_.begin(), modules_.end(), module);
        if (it == modules_.end()) return false;
        modules_.erase(it);
        return true;
    }

  private:
    std::mutex mutex_;
    std::vector<HMODULE> modules_;
};

// Never destroyed: libraries report from their constructors at any time, even during exit.
AttachFailures& Failures() {
    static auto* failures = new AttachFailures();
    return *failures;
}

}  // namespace

extern "C" {

BOOL winport_ProcessIsExiting() {
    return processExiting.load() ? TRUE : FALSE;
}

void winport_WatchProcessExit() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(MarkProcessExiting); });
}

void winport_ReportAttachFailure(HMODULE module) {
    Failures().Add(module);
}

}  // extern "C"

namespace winport {

bool TakeAttachFailure(HMODULE module) {
    return Failures().Take(module);
}

}  // namespace winport
