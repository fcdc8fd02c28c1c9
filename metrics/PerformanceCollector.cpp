#include "PerformanceCollector.h"

#include <atomic>
#include <chrono>

#include "CounterSetUpdate.h"
#include "CounterTables.h"
#include "PerfCounterSet.h"
#include "TruncatedValue.h"
#include "LogMessage.h"
#include "Settings.h"
#include "UniqueHandle.h"
#include "ProcessMetrics.h"
#include "ProcessRecords.h"
#include "ProcessSnapshot.h"

namespace {

constexpr int32_t kDefaultType = 65535;
constexpr int32_t kReportValues = 1;
constexpr int32_t kReportProcesses = 2;
constexpr DWORD kFirstSamplesWaitMs = 2000;
constexpr DWORD kCycleMs = 1000;
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

// Now plus the lifetime, wrapping at 2^32; a lifetime that is not positive means the default.
// A deadline of 0 would read as "no thread", so it becomes 1.
DWORD DeadlineFromNow(DWORD now, int32_t lifetime) {
    const DWORD deadline = now + static_cast<DWORD>(lifetime > 0 ? lifetime : kDefaultLifetimeMs);
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
    // The sample's earlier records lend their storage to the new ones.
    ProcessList list;
    list.records.swap(sample.processes);
    RecomputeProcessRecords(previous, current, interval, list);
    sample.processes.swap(list.records);
}

namespace {

class SystemClock final : public CollectorClock {
  public:
    DWORD TickCount() override { return GetTickCount(); }
    void Pause(DWORD milliseconds) override { Sleep(milliseconds); }
    bool PauseUnless(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                     DWORD milliseconds, const std::function<bool()>& stopped) override {
        return !wake.wait_for(lock, std::chrono::milliseconds(milliseconds), stopped);
    }
    // A stopped thread parks within the rest of its cycle; this bound only covers one stuck in
    // the system (in the loader, which the unload holds).
    DWORD ParkWaitMs() override { return 5000; }
};

}  // namespace

CollectorClock& SystemCollectorClock() {
    static SystemClock clock;
    return clock;
}

// One collection thread. Its phase, changed only by compare-and-swap, tells an unload whether
// the thread ever entered the collector's code; on Windows `parked` is set once a stopped
// thread has left that code for good, holding nothing.
struct PerformanceCollector::Run {
    enum Phase : int { kCreated, kEntered, kBarred };
    PerformanceCollector* collector = nullptr;
    UniqueHandle thread;
    std::atomic<int> phase{kCreated};
#if defined(_WIN32)
    UniqueHandle parked;
#endif
};

PerformanceCollector::PerformanceCollector(CollectorClock& clock, const SampleSources& sources,
                                           int32_t (*lifetime)())
    : m_clock(clock), m_sources(sources), m_lifetime(lifetime) {}

PerformanceCollector& PerformanceCollector::Instance() {
    static PerformanceCollector collector;
    return collector;
}

// The collector goes when the library is unloaded, possibly while its thread samples. Ending
// that thread from outside at an arbitrary point could catch it holding a lock (ours, the
// heap's, the framework's log) or a PDH query, which the rest of the unload would then wait
// for forever. So the stop request wakes the thread from its pause between cycles; it releases
// everything on its own way out. On Linux it then simply ends, and we wait for it. On Windows
// the library is unloaded under the loader lock, which an exiting thread needs, so the thread
// cannot end while we wait: it says that it has left our code (its parked event) and parks
// there, outside every lock, and only then is it terminated. That wait lasts at most the rest
// of one cycle; its bound only covers a thread stuck in the system. A thread that never entered
// our code is barred from it and terminated at once. One that quit before the stop is ending
// by itself, through the loader: it is waited for, since terminating it there could leave the
// loader lock held for good and no thread could start after it. Under an unload it waits for
// the lock the unload holds, so the bound ends that wait, and terminating it then is safe.
PerformanceCollector::~PerformanceCollector() {
    std::vector<std::unique_ptr<Run>> runs;
    {
        const std::lock_guard<std::mutex> state(m_stateLock);
        m_stopRequested = true;
        runs.swap(m_runs);
        m_current = nullptr;
    }
    m_stopSignal.notify_all();
    for (const std::unique_ptr<Run>& run : runs) EndRun(*run);
}

void PerformanceCollector::EndRun(Run& run) {
    int created = Run::kCreated;
    [[maybe_unused]] const bool barred = run.phase.compare_exchange_strong(created, Run::kBarred);
#if defined(_WIN32)
    // At process exit the system has ended the thread already: its handle ends the wait too.
    const HANDLE parkedOrEnded[] = {run.parked.get(), run.thread.get()};
    if (!barred) WaitForMultipleObjects(2, parkedOrEnded, FALSE, m_clock.ParkWaitMs());
    if (WaitForSingleObject(run.thread.get(), 0) != WAIT_OBJECT_0) {
        TerminateThread(run.thread.get(), kFailedExitCode);
    }
#else
    ResumeThread(run.thread.get());  // one whose start failed to resume would wait for good
    WaitForSingleObject(run.thread.get(), INFINITE);
#endif
}

bool PerformanceCollector::HandlePerformanceRequest(const CORE::PropertyBag& request,
                                                    CORE::PropertyBag& reply) {
    const auto since = static_cast<DWORD>(request.getInt(L"timestamp", 0));
    if (since > m_clock.TickCount()) {
        reply.setError(L"invalid timestamp");
        return false;
    }
    const int32_t type = request.getInt(L"type", kDefaultType);
    bool storeEmpty = false;
    {
        std::unique_lock<std::mutex> state(m_stateLock);
        if (m_deadline == 0 && !StartThreadLocked(reply)) return false;
        m_deadline = DeadlineFromNow(m_clock.TickCount(), m_lifetime());
        // Looked at before a thread just started can sample: it first waits for this lock.
        storeEmpty = SampleCount() == 0;
    }
    if (storeEmpty) m_clock.Pause(kFirstSamplesWaitMs);

    CORE::PropertyBag metrics = BuildMetrics(since, type);
    reply.addInt64(L"timestamp", static_cast<int64_t>(m_clock.TickCount()));
    reply.addBag(L"metrics", metrics, false);
    return true;
}

bool PerformanceCollector::StartThreadLocked(CORE::PropertyBag& reply) {
    RetireThreadLocked();
    // The process table reader looks its ntdll function up once; doing that here keeps the
    // collection thread away from the loader, which an unload holds while it waits for it.
    LoadQuerySystemInformation();
    auto run = std::make_unique<Run>();
    run->collector = this;
#if defined(_WIN32)
    run->parked.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (run->parked)
#endif
        run->thread.reset(
            CreateThread(nullptr, 0, CollectionThread, run.get(), CREATE_SUSPENDED, nullptr));
    if (!run->thread) {
        LogMessage(CORE::SysMessageError, L"Failed to create collection thread, error: %d",
                   GetLastError());
        reply.setError(L"Failed to handle performance request");
        return false;
    }
    m_current = run.get();
    m_runs.push_back(std::move(run));
    DiscardSamples();
    if (ResumeThread(m_current->thread.get()) == 0xFFFFFFFF) {
        LogMessage(CORE::SysMessageError, L"Failed to resume collection thread, error: %d",
                   GetLastError());
        reply.setError(L"Failed to handle performance request");
        return false;
    }
    return true;
}

// The previous thread may still be on its way out, or, when resuming it failed, still wait to
// start. It is kept until it has ended, so that an unload can end it; a waiting one is let go
// and, no longer being the current run, ends at once.
void PerformanceCollector::RetireThreadLocked() {
    if (m_current != nullptr) ResumeThread(m_current->thread.get());
    m_current = nullptr;
    std::erase_if(m_runs, [](const std::unique_ptr<Run>& run) {
        return WaitForSingleObject(run->thread.get(), 0) == WAIT_OBJECT_0;
    });
}

DWORD WINAPI PerformanceCollector::CollectionThread(LPVOID argument) {
    Run& run = *static_cast<Run*>(argument);
    int created = Run::kCreated;
    // An unload that came first has barred the thread from our code.
    if (!run.phase.compare_exchange_strong(created, Run::kEntered)) return kFailedExitCode;
    LogMessage(CORE::SysMessageDebug, L"Backgroud collection thread started.");
    const bool collected = run.collector->Collect(run);
    if (!collected) LogMessage(CORE::SysMessageError, L"Failed to collect performance metrics.");
    run.collector->LeaveRun(run);  // `run` may be gone from here on
    return collected ? 0 : kFailedExitCode;
}

// The thread's last step in our code. On Windows, when an unload waits for it, it parks here for
// good; the unload terminates it. Otherwise it ends on its own, and the collector's end waits
// for that.
void PerformanceCollector::LeaveRun([[maybe_unused]] Run& run) {
#if defined(_WIN32)
    {
        const std::lock_guard<std::mutex> state(m_stateLock);
        if (!m_stopRequested) return;
    }
    SetEvent(run.parked.get());
    Sleep(INFINITE);
#endif
}

bool PerformanceCollector::Collect(const Run& run) {
    if (!IsCurrentRun(run)) return true;
    PerfCounterSet counters;
    UpdateCounterSet(counters, SystemPerformanceCounters());
    // Kept from cycle to cycle, so that a cycle reuses the storage of the one before.
    ProcessMap maps[2];
    int currentMap = 0;
    PerformanceSample sample;
    SampleTaker taker(m_sources, m_clock);

    while (!DeadlinePassed()) {
        currentMap = 1 - currentMap;
        maps[currentMap].clear();
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

bool PerformanceCollector::IsCurrentRun(const Run& run) {
    const std::lock_guard<std::mutex> state(m_stateLock);
    return !m_stopRequested && m_current == &run;
}

// Also true when the collector is being destroyed; then the deadline is left as it is.
bool PerformanceCollector::DeadlinePassed() {
    const std::lock_guard<std::mutex> state(m_stateLock);
    if (m_stopRequested) return true;
    // Compared as a signed distance, so a deadline past the 49.7-day wrap of the tick count
    // still lies ahead; the lifetime is at most 2^31 - 1 ms, so a fresh deadline always does.
    if (static_cast<int32_t>(m_clock.TickCount() - m_deadline) < 0) return false;
    LogMessage(CORE::SysMessageDebug, L"Background collection thread quit.");
    m_deadline = 0;
    return true;
}

// The pause between cycles; false when a stop was requested meanwhile.
bool PerformanceCollector::WaitOneCycle() {
    std::unique_lock<std::mutex> state(m_stateLock);
    return m_clock.PauseUnless(state, m_stopSignal, kCycleMs, [this] { return m_stopRequested; });
}

void PerformanceCollector::StoreSample(const PerformanceSample& sample) {
    StoredSample stored{sample.tick, MetricBag(sample)};
    CORE::PropertyBag processes;
    AddProcessBags(sample.processes, processes);
    {
        const std::lock_guard<std::mutex> samples(m_sampleLock);
        if (m_sampleCount == kCapacity) {
            std::swap(m_samples[m_oldest], stored);  // the oldest goes
            m_oldest = (m_oldest + 1) % kCapacity;
        } else {
            std::swap(m_samples[(m_oldest + m_sampleCount) % kCapacity], stored);
            ++m_sampleCount;
        }
        std::swap(m_newestProcesses, processes);
    }
    // What was replaced is freed here, outside the lock.
}

// Under the state lock: a new thread's samples start afresh.
void PerformanceCollector::DiscardSamples() {
    std::array<StoredSample, kCapacity> discarded;
    CORE::PropertyBag processes;
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    std::swap(m_samples, discarded);
    std::swap(m_newestProcesses, processes);
    m_oldest = 0;
    m_sampleCount = 0;
}

size_t PerformanceCollector::SampleCount() {
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    return m_sampleCount;
}

bool PerformanceCollector::IsCollecting() {
    return Deadline() != 0;
}

DWORD PerformanceCollector::Deadline() {
    const std::lock_guard<std::mutex> state(m_stateLock);
    return m_deadline;
}

// Copies of bags built when the samples were stored: each costs a reference count.
CORE::PropertyBag PerformanceCollector::BuildMetrics(DWORD since, int32_t type) {
    CORE::PropertyBag metrics;
    const std::lock_guard<std::mutex> samples(m_sampleLock);
    if (m_sampleCount == 0) return metrics;
    if ((type & kReportValues) != 0) {
        for (size_t i = 0; i < m_sampleCount; ++i) {
            const StoredSample& sample = m_samples[(m_oldest + i) % kCapacity];
            if (sample.tick >= since) metrics.addBag(L"metric", sample.metric, false);
        }
    }
    if ((type & kReportProcesses) != 0) metrics.addBag(L"processMetrics", m_newestProcesses, false);
    return metrics;
}
