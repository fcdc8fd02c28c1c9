// The performance collection thread's own cost per cycle (the processor time of the thread
// that samples, which the CPU column shows) on this machine and on a synthetic table of 2,000
// processes, the latency of a "Performance" request copying 121 stored samples, and whether
// the collection thread's memory stays flat over an hour of cycles.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "CounterSetUpdate.h"
#include "CounterTables.h"
#include "PerfCounterSet.h"
#include "PerformanceCollector.h"

namespace {

constexpr int kSyntheticProcesses = 2000;

// One cycle as the collection thread runs it: figures, tick, counters, records, store.
template <typename Sources>
void RunCycles(benchmark::State& state, Sources sources, bool withCounters) {
    PerformanceCollector collector;
    PerfCounterSet counters;
    if (withCounters) {
        std::vector<PerfCounterDefinition> table;
        AddSystemPerformanceCounters(table);
        UpdateCounterSet(counters, table);
    }
    SampleTaker taker(sources);
    ProcessMap maps[2];
    int current = 0;
    PerformanceSample sample;  // kept from cycle to cycle, as the thread keeps it
    size_t processes = 0;
    for (auto _ : state) {
        current = 1 - current;
        maps[current].clear();
        const bool taken = taker.Take(maps[1 - current], maps[current], sample,
                                      [&](std::vector<MetricValue>& values) {
                                          if (withCounters)
                                              CollectValuesDropFailed(counters, values);
                                      });
        if (!taken) {
            state.SkipWithError("a reading failed");
            break;
        }
        processes = sample.processes.size();
        collector.StoreSample(sample);
    }
    state.counters["processes"] = static_cast<double>(processes);
}

void BM_CycleThisMachine(benchmark::State& state) {
    RunCycles(state, SystemSampleSources(), true);
}
BENCHMARK(BM_CycleThisMachine)->Unit(benchmark::kMillisecond);

// A table of 2,000 processes whose times grow from cycle to cycle.
uint64_t g_syntheticCycle = 0;

SampleSources SyntheticSources() {
    return SampleSources{
        [](uint64_t& total, uint64_t& idle) {
            ++g_syntheticCycle;
            total = g_syntheticCycle * 40000000;
            idle = g_syntheticCycle * 30000000;
            return true;
        },
        [](ProcessMap& map) {
            for (int i = 0; i < kSyntheticProcesses; ++i) {
                ProcessCounters& counters = map[ProcessKey{132000000000000000 + i, 1000 + i}];
                counters.kernelTime = static_cast<int64_t>(g_syntheticCycle) * (i % 50);
                counters.userTime = static_cast<int64_t>(g_syntheticCycle) * (i % 70);
                counters.bytesRead = static_cast<int64_t>(g_syntheticCycle) * 4096;
                counters.privateBytes = 1u << 20;
                counters.sessionId = static_cast<uint32_t>(i % 8);
                counters.imageName = L"synthetic-process-" + std::to_wstring(i % 40) + L".exe";
            }
            return true;
        },
        [](uint32_t& percent) {
            percent = 42;
            return true;
        }};
}

void BM_CycleSynthetic2000(benchmark::State& state) {
    RunCycles(state, SyntheticSources(), false);
}
BENCHMARK(BM_CycleSynthetic2000)->Unit(benchmark::kMillisecond);

// A request's copy under the sample lock: 121 samples of "cpu", "mem", "disk", and the newest
// sample's processes (this machine's, or 2,000 synthetic ones).
void BM_RequestCopies121Samples(benchmark::State& state) {
    PerformanceCollector collector;
    SampleTaker taker(state.range(0) == 0 ? SystemSampleSources() : SyntheticSources());
    ProcessMap previous;
    ProcessMap current;
    for (size_t i = 0; i < PerformanceCollector::kCapacity; ++i) {
        PerformanceSample sample;
        previous.swap(current);
        current.clear();
        taker.Take(previous, current, sample, [](std::vector<MetricValue>& values) {
            values.push_back({L"disk", 3, 1});
        });
        collector.StoreSample(sample);
    }
    for (auto _ : state) {
        CORE::PropertyBag metrics = collector.BuildMetrics(0, 65535);
        benchmark::DoNotOptimize(metrics);
    }
}
BENCHMARK(BM_RequestCopies121Samples)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// What storing one sample of 2,000 processes costs the collection thread: the bags a request
// will copy are built then.
void BM_StoreSample2000Processes(benchmark::State& state) {
    PerformanceCollector collector;
    SampleTaker taker(SyntheticSources());
    ProcessMap maps[2];
    PerformanceSample sample;
    taker.Take(maps[0], maps[1], sample, [](std::vector<MetricValue>& values) {
        values.push_back({L"disk", 3, 1});
    });
    for (auto _ : state) collector.StoreSample(sample);
}
BENCHMARK(BM_StoreSample2000Processes)->Unit(benchmark::kMicrosecond);

// Resident size of this process in bytes, from /proc/self/statm.
double ResidentBytes() {
    long pages = 0;
    if (FILE* statm = fopen("/proc/self/statm", "r")) {
        if (fscanf(statm, "%*d %ld", &pages) != 1) pages = 0;
        fclose(statm);
    }
    return static_cast<double>(pages) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// A clock on which the collection thread's pause between cycles passes at once. It counts the
// cycles, reads the resident size after cycle 121 (the store is full from then on) and after
// the last one, and then ends the thread's loop.
class HourClock final : public CollectorClock {
  public:
    static constexpr int kFullStore = 121;
    static constexpr int kCycles = 3600;

    DWORD TickCount() override { return m_now.load(); }
    void Pause(DWORD milliseconds) override { m_now += milliseconds; }
    bool PauseUnless(std::unique_lock<std::mutex>&, std::condition_variable&, DWORD milliseconds,
                     const std::function<bool()>& stopped) override {
        m_now += milliseconds;
        const int cycle = ++m_cycles;
        if (cycle == kFullStore) m_residentAtFullStore = ResidentBytes();
        if (cycle < kCycles) return !stopped();
        m_residentAtEnd = ResidentBytes();
        m_done = true;
        return false;
    }
    DWORD ParkWaitMs() override { return INFINITE; }

    bool Done() const { return m_done.load(); }
    int Cycles() const { return m_cycles.load(); }
    double Growth() const { return m_residentAtEnd.load() - m_residentAtFullStore.load(); }

  private:
    std::atomic<DWORD> m_now{1000};
    std::atomic<int> m_cycles{0};
    std::atomic<double> m_residentAtFullStore{0};
    std::atomic<double> m_residentAtEnd{0};
    std::atomic<bool> m_done{false};
};

int32_t DayLong() {
    return 86400000;
}

// The real collection thread sampling this machine for 3,600 cycles while a console polls
// now and then; the counter is the resident-size growth from cycle 121 to cycle 3,600.
void BM_HourOfCyclesResidentGrowth(benchmark::State& state) {
    for (auto _ : state) {
        HourClock clock;
        PerformanceCollector collector(clock, SystemSampleSources(), DayLong);
        CORE::PropertyBag request;
        request.addInt(L"type", 65535);
        CORE::PropertyBag reply;
        if (!collector.HandlePerformanceRequest(request, reply)) {
            state.SkipWithError("the collection thread did not start");
            break;
        }
        while (!clock.Done() && collector.IsCollecting()) {
            benchmark::DoNotOptimize(collector.BuildMetrics(0, 65535));
            Sleep(50);
        }
        if (!clock.Done()) {
            state.SkipWithError("the collection thread quit early");
            break;
        }
        state.counters["cycles"] = clock.Cycles();
        state.counters["growth_KiB"] = clock.Growth() / 1024;
    }
}
BENCHMARK(BM_HourOfCyclesResidentGrowth)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
