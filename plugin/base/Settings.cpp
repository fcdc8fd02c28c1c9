#include "Settings.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "LogMessage.h"

namespace {

constexpr int32_t kDefaultCollectThreadLifeTime = 120000;

CORE::corestring<wchar_t> ReadSetting(const wchar_t* suffix, const wchar_t* fallback) {
    return CORE::corestring<wchar_t>::readRegistry(GetSettingsKey() + suffix, fallback, false);
}

}  // namespace

CORE::corestring<wchar_t> GetSettingsKey() {
    static const CORE::corestring<wchar_t> key = CORE::corestring<wchar_t>(L"HKLM") + L"\\" +
                                                 L"Software\\Zentavo\\Pallido" +
                                                 L"\\Plugins\\dorn\\helpdesk";
    return key;
}

int32_t GetCollectThreadLifeTime() {
    // Every thread that finds the cache empty reads and stores the same value.
    static std::atomic<int32_t> cached{0};
    const int32_t known = cached.load(std::memory_order_relaxed);
    if (known != 0) return known;

    const int64_t milliseconds =
        static_cast<int64_t>(ReadSetting(L"\\CollectThreadLifeTimeInSecs", L"120").toInt(true)) *
        1000;
    // Zero (or not a number) means the default. A lifetime beyond 32 bits of milliseconds was
    // meant as long as can be: it is held at the largest (or, negative, the smallest) one.
    const int32_t lifetime = milliseconds == 0
                                 ? kDefaultCollectThreadLifeTime
                                 : static_cast<int32_t>(std::clamp<int64_t>(
                                       milliseconds, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max()));
    cached.store(lifetime, std::memory_order_relaxed);
    return lifetime;
}

bool IsHistoricalCollectorDisabled() {
    if (ReadSetting(L"\\DisableHistoricalCollector", L"0").toInt(true) == 0) return false;
    LogMessage(CORE::SysMessageVerbose, L"Historical collector was disabled");
    return true;
}

bool UseThreadNames() {
    // The caller whose increment reaches 0 reads; callers arriving meanwhile wait for its answer.
    static std::atomic<int32_t> readers{-1};
    static std::atomic<bool> readDone{false};
    static std::atomic<bool> useNames{true};

    if (readDone.load(std::memory_order_acquire)) return useNames.load(std::memory_order_relaxed);
    if (readers.fetch_add(1, std::memory_order_acq_rel) + 1 == 0) {
        const bool answer =
            CORE::corestring<char>::readRegistry(
                "HKLM\\Software\\Zentavo\\Pallido\\quillmeshUseThreadNames", "1", false)
                .toBool();
        useNames.store(answer, std::memory_order_relaxed);
        readDone.store(true, std::memory_order_release);
        return answer;
    }
    while (!readDone.load(std::memory_order_acquire)) Sleep(10);
    return useNames.load(std::memory_order_relaxed);
}
