#include "metrics/PerformanceCollector.h"

#include <chrono>

#include "counters/CounterSetUpdate.h"
#include "counters/CounterTables.h"
#include "counters/PerfCounterSet.h"
#include "metrics/TruncatedValue.h"
#include "plugin/LogMessage.h"
#include "plugin/Settings.h"
#include "process/ProcessMetrics.h"
#include "process/ProcessRecords.h"
#include "process/ProcessSnapshot.h"

namespace {

constexpr int32_t kDefaultType = 65535;
constexpr int32_t kReportValues = 1;
constexpr int32_t kReportProcesses = 2;
constexpr DWORD kFirstSamplesWaitMs = 2000;
#if defined(_WIN32)
// Longer than a cycle's pause plus its sampling: a stopped thread has left our code by then.
constexpr DWORD kStopWaitMs = 5000;
#endif
constexpr auto kCycle = std::chrono::milliseconds(1000);
constexpr DWORD kFailedExitCode = 0xFFFFFFFF;
constexpr int32_t kDefaultLifetimeMs = 120000;

// Built by the first collection thread that finds it empty, kept until unload.
const std::vector<PerfCounterDefinition>& SystemPerformanceCounters() {
    static const std::vector<PerfCounterDefinition> table = [] {
        std::vector<PerfCounterDefinition> rows;
        AddSystemPerformanceCounters(rows);
        return rows;
    }();
    return table;
}

CORE::PropertyBag MetricBag(const PerformanceSample& sample) {
    CORE::PropertyBag bag;
    for (const MetricValue& value : sample.values) {
        if ((value.category & kMachineCategory) != 0) {
            bag.addInt64(value.key.c_str(), TruncatedValue(value.value));
        }
    }
    return bag;
}

// Now plus the lifetime; a lifetime that is not positive means the default. A deadline of 0
// would read as "no thread", so it becomes 1.
DWORD DeadlineFromNow() {
    const int32_t lifetime = GetCollectThreadLifeTime();
    const DWORD deadline =
        GetTickCount() + static_cast<DWORD>(lifetime > 0 ? lifetime : kDefaultLifetimeMs);
    return deadline == 0 ? 1 : deadline;
}

}  // namespace

SampleSources SystemSampleSources() {
    return SampleSources{QueryProcessorTimes, TakeProcessSnapshot, QueryMemoryLoad};
}

double MachineProcessorShare(uint64_t totalDelta, uint64_t idleDelta) {
    const auto total = static_cast<int64_t>(totalDelta);
    if (total == 0) return 0.0;
    // Signed 64-bit arithmetic that wraps instead of overflowing: computed unsigned, divided
    // signed.
    const auto busy = static_cast<int64_t>((totalDelta - idleDelta) * 100u);
    // The one quotient that overflows (the lowest value divided by -1) wraps to itself.
    const int64_t share =
        total == -1 ? static_cast<int64_t>(0 - static_cast<uint64_t>(busy)) : busy / total;
    return static_cast<double>(static_cast<uint32_t>(share));
}

bool SampleTaker::ReadSystem(ProcessMap& current, uint64_t& total, uint64_t& idle,
                             uint32_t& memory) {
    return m_sources.queryProcessorTimes(total, idle) && m_sources.takeProcessSnapshot(current) &&
           m_sources.queryMemoryLoad(memory);
}

void SampleTaker::Finish(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                         PerformanceSample& sample) {
    ProcessList list;
    ComputeProcessRecords(previous, current, interval, list);
    sample.processes = std::move(list.records);
}

PerformanceCollector& PerformanceCollector::Instance() {
    static PerformanceCollector collector;
    return collector;
}

// The collector goes when the library is unloaded, possibly while its thread samples. Ending
// that thread from outside (TerminateThread) would leave whatever it held behind: a lock, a
// PDH query, process maps. Instead the thread's one-second sleep is a timed wait on the stop
// request, so the thread notices it within its current cycle, releases everything on its own
// way out, and we wait for it. After the wait no code of this library runs on that thread, so
// the library's memory can go, which is what terminating it achieved. On Windows the library
// is unloaded under the loader lock, which an exiting thread needs, so there the wait cannot
// end: it is bounded, and the thread, by then stopped at the loader's door with nothing of
// ours held, is terminated. Terminating it at once could catch it holding a lock (the heap's,
// our own), which the rest of the unload would then wait for forever.
PerformanceCollector::~PerformanceCollector() {
    std::vector<HANDLE> threads;
    {
        const std::lock_guard<std::mutex> state(m_stateLock);
        m_stopRequested = true;
        threads.swap(m_retired);
        if (m_thread != nullptr) threads.push_back(m_thread);
        m_thread = nullptr;
    }
    m_stopSignal.notify_all();
    for (HANDLE thread : threads) {
        ResumeThread(thread);  // one whose start failed to resume would wait for good
#if defined(_WIN32)
        if (WaitForSingleObject(thread, kStopWaitMs) != WAIT_OBJECT_0) {
            TerminateThread(thread, kFailedExitCode);
        }
#else
        WaitForSingleObject(thread, INFINITE);
#endif
        CloseHandle(thread);
    }
}

bool PerformanceCollector::HandlePerformanceRequest(const CORE::PropertyBag& request,
                                                    CORE::PropertyBag& reply) {
    const auto since = static_cast<DWORD>(request.getInt(L"timestamp", 0));
    if (since > GetTickCount()) {
        reply.setError(L"invalid timestamp");
        return false;
    }
    const int32_t type = request.getInt(L"type", kDefaultType);
    {
        std::unique_lock<std::mutex> state(m_stateLock);
        if (m_deadline == 0 && !StartThreadLocked(reply)) return false;
        m_deadline = DeadlineFromNow();
    }
    if (SampleCount() == 0) Sleep(kFirstSamplesWaitMs);

    CORE::PropertyBag metrics = BuildMetrics(since, type);
    reply.addInt64(L"timestamp", static_cast<int64_t>(GetTickCount()));
    reply.addBag(L"metrics", metrics, false);
    return true;
}

bool PerformanceCollector::StartThreadLocked(CORE::PropertyBag& reply) {
    RetireThreadLocked();
    // The process table reader looks its ntdll function up once; doing that here keeps the
    // collection thread away from the loader, which an unload holds while it waits for it.
    LoadQuerySystemInformation();
    m_thread = CreateThread(nullptr, 0, CollectionThread, this, CREATE_SUSPENDED, &m_threadId);
    if (m_thread == nullptr) {
        LogMessage(CORE::SysMessageError, L"Failed to create collection thread, error: %d",
                   GetLastError());
        reply.setError(L"Failed to handle performance request");
        return false;
    }
    {
        const std::lock_guard<std::mutex> samples(m_sampleLock);
        m_samples.clear();
    }
    if (ResumeThread(m_thread) == 0xFFFFFFFF) {
        LogMessage(CORE::SysMessageError, L"Failed to resume collection thread, error: %d",
                   GetLastError());
        reply.setError(L"Failed to handle performance request");
        return false;
    }
    return true;
}

// The previous thread may still be on its way out, or, when resuming it failed, still wait to
// start. Its handle is kept until it has ended, so that an unload can wait for it; a waiting
// one is let go and, no longer being the current run, ends at once.
void PerformanceCollector::RetireThreadLocked() {
    if (m_thread != nullptr) {
        ResumeThread(m_thread);
        m_retired.push_back(m_thread);
        m_thread = nullptr;
        m_threadId = 0;
    }
    std::erase_if(m_retired, [](HANDLE thread) {
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
        CloseHandle(thread);
        return true;
    });
}

DWORD WINAPI PerformanceCollector::CollectionThread(LPVOID collector) {
    LogMessage(CORE::SysMessageDebug, L"Backgroud collection thread started.");
    if (static_cast<PerformanceCollector*>(collector)->Collect()) return 0;
    LogMessage(CORE::SysMessageError, L"Failed to collect performance metrics.");
    return kFailedExitCode;
}

bool PerformanceCollector::Collect() {
    if (!IsCurrentRun()) return true;
    PerfCounterSet counters;
    UpdateCounterSet(counters, SystemPerformanceCounters());
    ProcessMap maps[2];
    int currentMap = 0;
    SampleTaker taker(SystemSampleSources());

    while (!DeadlinePassed()) {
        currentMap = 1 - currentMap;
        maps[currentMap].clear();
        PerformanceSample sample;
        const bool taken = taker.Take(maps[1 - currentMap], maps[currentMap], sample,
                                      [&counters](std::vector<MetricValue>& values) {
                                          CollectValuesDropFailed(counters, values);
                                      });
        if (!taken) {
            // Back to idle, so that the next request starts a new thread rather than
            // answering from samples that will never be renewed.
            const std::lock_guard<std::mutex> state(m_stateLock);
            m_deadline = 0;
            return false;
        }
        StoreSample(sample);
        if (!WaitOneCycle()) break;
    }
    return true;
}

bool PerformanceCollector::IsCurrentRun() {
    const std::lock_guard<std::mutex> state(m_stateLock);
    return !m_stopRequested && m_threadId == GetCurrentThreadId();
}

// Also true when the collector is being destroyed; then the deadline is left as it is.
bool PerformanceCollector::DeadlinePassed() {
    const std::lock_guard<std::mutex> state(m_stateLock);
    if (m_stopRequested) return true;
    // Compared as a signed distance, so a deadline past the 49.7-day wrap of the tick count
    // still lies ahead.
    if (static_cast<int32_t>(GetTickCount() - m_deadline) < 0) return false;
    LogMessage(CORE::SysMessageDebug, L"Background collection thread quit.");
    m_deadline = 0;
    return true;
}

// The one-second pause between cycles; false when a stop was requested meanwhile.
bool PerformanceCollector::WaitOneCycle() {
    std::unique_lock<std::mutex> state(m_stateLock);
    return !m_stopSignal.wait_for(state, kCycle, [this] { return m_stopRequested; });
}

void PerformanceCollector::StoreSample(const PerformanceSample& sample) {
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    if (m_samples.size() >= kCapacity) m_samples.pop_front();
    m_samples.push_back(sample);
}

size_t PerformanceCollector::SampleCount() {
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    return m_samples.size();
}

bool PerformanceCollector::IsCollecting() {
    const std::lock_guard<std::mutex> state(m_stateLock);
    return m_deadline != 0;
}

CORE::PropertyBag PerformanceCollector::BuildMetrics(DWORD since, int32_t type) {
    CORE::PropertyBag metrics;
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    if (m_samples.empty()) return metrics;
    if ((type & kReportValues) != 0) {
        for (const PerformanceSample& sample : m_samples) {
            if (sample.tick >= since) metrics.addBag(L"metric", MetricBag(sample), false);
        }
    }
    if ((type & kReportProcesses) != 0) {
        CORE::PropertyBag processes;
        AddProcessBags(m_samples.back().processes, processes);
        metrics.addBag(L"processMetrics", processes, false);
    }
    return metrics;
}
