// The performance collection thread's own cost per cycle (the processor time of the thread
// that samples, which the CPU column shows) on this machine and on a synthetic table of 2,000
// processes, and the latency of a "Performance" request copying 121 stored samples.
#include <benchmark/benchmark.h>

#include <windows.h>

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
    size_t processes = 0;
    for (auto _ : state) {
        current = 1 - current;
        maps[current].clear();
        PerformanceSample sample;
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

}  // namespace

BENCHMARK_MAIN();
