// The "Performance" operation and its collection thread: the thread samples the machine once a
// second and keeps the newest 121 samples; each request keeps it alive for the configured
// lifetime and reports the samples newer than the tick count it gives.
#pragma once

#include <windows.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "PerfCounterDefinition.h"
#include "Settings.h"
#include "quillmesh/Framework.h"
#include "ProcessRecords.h"

struct PerformanceSample {
    DWORD tick = 0;  // GetTickCount() after the processor, process and memory figures
    std::vector<ProcessRecord> processes;
    std::vector<MetricValue> values;  // "cpu", "mem", then the counter values
};

// What one sampling cycle reads from the system; the collection thread uses the real readers,
// tests and benchmarks may hand in their own.
struct SampleSources {
    bool (*queryProcessorTimes)(uint64_t& total, uint64_t& idle);
    bool (*takeProcessSnapshot)(ProcessMap& map);
    bool (*queryMemoryLoad)(uint32_t& percent);
};

SampleSources SystemSampleSources();

// The collector's time: the tick count its deadline and samples go by, and its two pauses. The
// system's is GetTickCount and real waits; tests drive a clock of their own.
class CollectorClock {
  public:
    virtual ~CollectorClock() = default;
    virtual DWORD TickCount() = 0;
    // The request's pause that gives a new collection thread time for its first samples.
    virtual void Pause(DWORD milliseconds) = 0;
    // The thread's pause between cycles, waiting on `wake` with `lock` held; ends early once
    // `stopped` holds (notified on `wake`). False when it ended for a stop.
    virtual bool PauseUnless(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                             DWORD milliseconds, const std::function<bool()>& stopped) = 0;
    // On Windows, how long the collector's end waits for a stopped thread to park before it
    // terminates the thread, wherever it is.
    virtual DWORD ParkWaitMs() = 0;
};

CollectorClock& SystemCollectorClock();

class PerformanceCollector {
  public:
    static constexpr size_t kCapacity = 121;

    // The process-wide collector, made on first use.
    static PerformanceCollector& Instance();

    // `lifetime` gives the collection thread's lifetime in milliseconds.
    explicit PerformanceCollector(CollectorClock& clock = SystemCollectorClock(),
                                  const SampleSources& sources = SystemSampleSources(),
                                  int32_t (*lifetime)() = GetCollectThreadLifeTime);
    // Stops a collection thread that still runs and ends it (see the definition).
    ~PerformanceCollector();
    PerformanceCollector(const PerformanceCollector&) = delete;
    PerformanceCollector& operator=(const PerformanceCollector&) = delete;

    bool HandlePerformanceRequest(const CORE::PropertyBag& request, CORE::PropertyBag& reply);

    // Appends a sample, dropping the oldest beyond the capacity. What a request reports of it
    // is built here, before the sample lock is taken, so that a request only copies it.
    void StoreSample(const PerformanceSample& sample);
    // The "metrics" bag for a request's "timestamp" and "type".
    CORE::PropertyBag BuildMetrics(DWORD since, int32_t type);
    size_t SampleCount();
    bool IsCollecting();
    // The tick at which the collection thread stops; 0 while none collects.
    DWORD Deadline();

  private:
    struct Run;
    static DWORD WINAPI CollectionThread(LPVOID run);
    bool StartThreadLocked(CORE::PropertyBag& reply);
    void RetireThreadLocked();
    bool Collect(const Run& run);
    void LeaveRun(Run& run);
    bool IsCurrentRun(const Run& run);
    bool DeadlinePassed();
    bool WaitOneCycle();
    void EndRun(Run& run);
    void DiscardSamples();

    CollectorClock& m_clock;
    SampleSources m_sources;
    int32_t (*m_lifetime)();

    std::mutex m_stateLock;  // guards everything down to the stop signal
    DWORD m_deadline = 0;
    Run* m_current = nullptr;                  // the run that is meant to collect
    std::vector<std::unique_ptr<Run>> m_runs;  // every thread whose end is not yet seen
    bool m_stopRequested = false;
    std::condition_variable m_stopSignal;

    // A stored sample as requests report it: its "metric" bag, under the tick it was taken at.
    struct StoredSample {
        DWORD tick = 0;
        CORE::PropertyBag metric;
    };

    std::mutex m_sampleLock;  // guards the sample store
    // The newest samples, oldest first from m_oldest, in a ring of kCapacity entries.
    std::array<StoredSample, kCapacity> m_samples;
    size_t m_oldest = 0;
    size_t m_sampleCount = 0;
    // The newest sample's "processMetrics" bag.
    CORE::PropertyBag m_newestProcesses;
};

// One sampling cycle: processor share, memory load, the tick, the counter values and the
// process records from the previous and the current reading. Keeps the processor totals in
// `previousTotal`/`previousIdle` for the next cycle.
class SampleTaker {
  public:
    explicit SampleTaker(const SampleSources& sources,
                         CollectorClock& clock = SystemCollectorClock())
        : m_sources(sources), m_clock(clock) {}

    // `collectCounters` appends the counter values after the tick has been taken.
    template <typename CollectCounters>
    bool Take(const ProcessMap& previous, ProcessMap& current, PerformanceSample& sample,
              CollectCounters&& collectCounters);

  private:
    bool ReadSystem(ProcessMap& current, uint64_t& total, uint64_t& idle, uint32_t& memory);
    void Finish(const ProcessMap& previous, const ProcessMap& current, int64_t interval,
                PerformanceSample& sample);

    SampleSources m_sources;
    CollectorClock& m_clock;
    uint64_t m_previousTotal = 0;
    uint64_t m_previousIdle = 0;
};

// Processor share in percent from the growth of the total and idle times; 0 when the total did
// not grow.
double MachineProcessorShare(uint64_t totalDelta, uint64_t idleDelta);

template <typename CollectCounters>
bool SampleTaker::Take(const ProcessMap& previous, ProcessMap& current, PerformanceSample& sample,
                       CollectCounters&& collectCounters) {
    uint64_t total = 0;
    uint64_t idle = 0;
    uint32_t memory = 0;
    if (!ReadSystem(current, total, idle, memory)) return false;
    const uint64_t totalDelta = total - m_previousTotal;
    const uint64_t idleDelta = idle - m_previousIdle;
    m_previousTotal = total;
    m_previousIdle = idle;

    sample.values.clear();
    sample.values.push_back(MetricValue{L"cpu", MachineProcessorShare(totalDelta, idleDelta), 1});
    sample.values.push_back(MetricValue{L"mem", static_cast<double>(memory), 1});
    sample.tick = m_clock.TickCount();
    collectCounters(sample.values);
    Finish(previous, current, static_cast<int64_t>(totalDelta), sample);
    return true;
}
