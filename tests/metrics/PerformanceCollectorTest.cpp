// The "Performance" operation: the sample store and what a request reports from it, one
// sampling cycle's arithmetic, and the collection thread's start, lifetime, restart and
// failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "metrics/PerformanceCollector.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/Bags.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/Waiting.h"

namespace dorn::test {
namespace {

PerformanceSample Sample(DWORD tick, double cpu, const wchar_t* processName) {
    PerformanceSample sample;
    sample.tick = tick;
    sample.values = {{L"cpu", cpu, 1},
                     {L"mem", 20, 1},
                     {L"disk", 42.9, 1},
                     {L"PCoIP Session General Statistics|Bytes Sent|PCoIP Session 2", 5, 8}};
    ProcessRecord record;
    record.processId = 77;
    record.name = processName;
    sample.processes = {record};
    return sample;
}

CORE::PropertyBag PerformanceRequest(std::optional<int32_t> timestamp,
                                     std::optional<int32_t> type) {
    CORE::PropertyBag request;
    request.add(L"opcode", L"Performance");
    if (timestamp) request.addInt(L"timestamp", *timestamp);
    if (type) request.addInt(L"type", *type);
    return request;
}

// Reports the failed step of a check that runs in a child process.
bool Step(bool passed, const char* what) {
    if (!passed) std::fprintf(stderr, "failed: %s\n", what);
    return passed;
}

TEST(PerformanceStoreTest, ReportsWhatTypeAndTimestampSelect) {
    PerformanceCollector collector;
    EXPECT_TRUE(collector.BuildMetrics(0, 65535).empty());

    collector.StoreSample(Sample(1000, 10.9, L"oldest"));
    collector.StoreSample(Sample(2000, 11, L"middle"));
    collector.StoreSample(Sample(3000, 12, L"newest"));

    // Only machine-wide values, truncated; the protocol value and the tick stay out. Processes
    // of the newest sample only, without a "timestamp".
    const CORE::PropertyBag all = collector.BuildMetrics(0, 65535);
    const std::string metrics = R"("metric": [{"cpu": 10, "mem": 20, "disk": 42}, )"
                                R"({"cpu": 11, "mem": 20, "disk": 42}, )"
                                R"({"cpu": 12, "mem": 20, "disk": 42}])";
    EXPECT_EQ(Json(all).substr(0, metrics.size() + 3), "{" + metrics + ", ");
    EXPECT_EQ(KeysOf(all),
              (std::vector<std::wstring>{L"metric", L"metric", L"metric", L"processMetrics"}));
    const CORE::PropertyBag processes = all.getBag(L"processMetrics");
    EXPECT_EQ(KeysOf(processes), std::vector<std::wstring>{L"process"});
    EXPECT_EQ(processes.getBag(L"process").get(L"name"), L"newest");
    EXPECT_EQ(processes.getBag(L"process").size(), 8u);

    EXPECT_EQ(Json(collector.BuildMetrics(0, 1)), "{" + metrics + "}");
    EXPECT_EQ(KeysOf(collector.BuildMetrics(0, 2)), std::vector<std::wstring>{L"processMetrics"});
    EXPECT_TRUE(collector.BuildMetrics(0, 0).empty());
    EXPECT_TRUE(collector.BuildMetrics(0, 4 | 8 | 0x100).empty());  // other bits are ignored

    // At or after the timestamp, compared as unsigned tick counts.
    EXPECT_EQ(Bags(collector.BuildMetrics(2000, 1), L"metric").size(), 2u);
    EXPECT_EQ(Bags(collector.BuildMetrics(2001, 1), L"metric").size(), 1u);
    EXPECT_EQ(KeysOf(collector.BuildMetrics(3001, 3)),
              std::vector<std::wstring>{L"processMetrics"});
    EXPECT_TRUE(collector.BuildMetrics(0xF0000000u, 1).empty());
}

TEST(PerformanceStoreTest, KeepsTheNewest121Samples) {
    PerformanceCollector collector;
    for (int i = 1; i <= 130; ++i) collector.StoreSample(Sample(i, i, L"p"));
    EXPECT_EQ(collector.SampleCount(), PerformanceCollector::kCapacity);
    const auto metrics = Bags(collector.BuildMetrics(0, 1), L"metric");
    ASSERT_EQ(metrics.size(), 121u);
    EXPECT_EQ(metrics.front().getInt64(L"cpu"), 10);
    EXPECT_EQ(metrics.back().getInt64(L"cpu"), 130);
}

// Scripted readings for one sampling cycle after another.
struct Script {
    std::vector<std::pair<uint64_t, uint64_t>> processorTimes;  // total, idle
    size_t cycle = 0;
    bool snapshotFails = false;
};
Script g_script;

SampleSources ScriptedSources() {
    return SampleSources{[](uint64_t& total, uint64_t& idle) {
                             std::tie(total, idle) = g_script.processorTimes.at(g_script.cycle++);
                             return true;
                         },
                         [](ProcessMap& map) {
                             ProcessCounters counters;
                             counters.kernelTime = static_cast<int64_t>(g_script.cycle) * 1000;
                             counters.imageName = L"worker";
                             map[ProcessKey{132000000000000000, 40}] = counters;
                             return !g_script.snapshotFails;
                         },
                         [](uint32_t& percent) {
                             percent = 37;
                             return true;
                         }};
}

TEST(SampleTakerTest, ProcessorShareMemoryTickAndCounters) {
    g_script =
        Script{{{1000, 250}, {3000, 1250}, {3000, 1250}, {4000, 1000}, {4003, 1002}, {4005, 1010}}};
    SampleTaker taker(ScriptedSources());
    ProcessMap maps[2];
    std::vector<double> shares;
    for (int cycle = 0; cycle < 6; ++cycle) {
        ProcessMap& current = maps[cycle % 2];
        current.clear();
        PerformanceSample sample;
        const DWORD before = GetTickCount();
        size_t valuesBeforeCounters = 0;
        ASSERT_TRUE(taker.Take(maps[(cycle + 1) % 2], current, sample,
                               [&](std::vector<MetricValue>& values) {
                                   valuesBeforeCounters = values.size();
                                   values.push_back({L"disk", 3, 1});
                               }));
        EXPECT_EQ(valuesBeforeCounters, 2u);
        ASSERT_EQ(sample.values.size(), 3u);
        EXPECT_EQ(sample.values[0].key, L"cpu");
        EXPECT_EQ(sample.values[0].category, 1u);
        EXPECT_EQ(sample.values[1].key, L"mem");
        EXPECT_EQ(sample.values[1].value, 37);
        EXPECT_GE(sample.tick, before);
        EXPECT_LE(sample.tick, GetTickCount());
        ASSERT_EQ(sample.processes.size(), 1u);
        EXPECT_EQ(sample.processes[0].name, L"worker");
        if (cycle == 0) {
            EXPECT_EQ(sample.processes[0].cpu, 0u);  // nothing to compare with
        } else if (cycle == 1) {
            EXPECT_EQ(sample.processes[0].cpu, 50u);  // 1000 of 2000 units
        }
        shares.push_back(sample.values[0].value);
    }
    // 75 % since boot; then 50 %; no processor time passed: 0; idle time that went back gives
    // a share above 100; 1 of 3 is truncated to 33; more idle than total time gives a negative
    // share, kept to its low 32 bits as the arithmetic defines.
    EXPECT_EQ(shares, (std::vector<double>{75, 50, 0, 125, 33, 4294966996.0}));

    g_script = Script{{{1000, 250}}, 0, true};
    SampleTaker failing(ScriptedSources());
    PerformanceSample sample;
    ProcessMap current;
    EXPECT_FALSE(failing.Take(ProcessMap{}, current, sample, [](std::vector<MetricValue>&) {
        ADD_FAILURE() << "counters collected after a failed reading";
    }));
}

class PerformanceRequestTest : public ::testing::Test {
  protected:
    RegistrySandbox m_registry;
    LogCapture m_log;
};

TEST_F(PerformanceRequestTest, FirstRequestStartsCollectingAndLaterOnesGetNewerSamples) {
    PerformanceCollector collector;
    CORE::PropertyBag reply;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), reply));
    EXPECT_TRUE(collector.IsCollecting());
    EXPECT_EQ(KeysOf(reply), (std::vector<std::wstring>{L"timestamp", L"metrics"}));
    const auto stamp = static_cast<DWORD>(reply.getInt64(L"timestamp"));
    EXPECT_LE(stamp, GetTickCount());

    const CORE::PropertyBag metrics = reply.getBag(L"metrics");
    const auto samples = Bags(metrics, L"metric");
    ASSERT_FALSE(samples.empty());
    for (const CORE::PropertyBag& sample : samples) {
        EXPECT_GE(sample.getInt64(L"cpu", -1), 0);
        EXPECT_LE(sample.getInt64(L"cpu", -1), 100);
        EXPECT_GE(sample.getInt64(L"mem", -1), 0);
        EXPECT_LE(sample.getInt64(L"mem", -1), 100);
    }
    bool foundSelf = false;
    for (const CORE::PropertyBag& process : Bags(metrics.getBag(L"processMetrics"), L"process")) {
        foundSelf = foundSelf || process.getInt64(L"id") == GetCurrentProcessId();
    }
    EXPECT_TRUE(foundSelf);
    EXPECT_TRUE(m_log.Has(0, L"Backgroud collection thread started."));

    // Polling with the last reply's timestamp gets only the samples taken since. The first
    // sample stored after the reply may have taken its tick before it; the one after that took
    // its tick a cycle later.
    ASSERT_TRUE(WaitUntil([&] { return collector.SampleCount() >= samples.size() + 2; },
                          std::chrono::seconds(10)));
    CORE::PropertyBag next;
    ASSERT_TRUE(collector.HandlePerformanceRequest(
        PerformanceRequest(static_cast<int32_t>(stamp), 1), next));
    const size_t newer = Bags(next.getBag(L"metrics"), L"metric").size();
    EXPECT_GE(newer, 1u);
    EXPECT_LT(newer, collector.SampleCount());
    EXPECT_FALSE(next.getBag(L"metrics").contains(L"processMetrics"));
    // Destroying the collector stops the running thread (the suite runs under the sanitizers).
}

TEST_F(PerformanceRequestTest, TimestampFromTheFutureIsRefused) {
    PerformanceCollector collector;
    CORE::PropertyBag reply;
    const auto future = static_cast<int32_t>(GetTickCount() + 60000);
    EXPECT_FALSE(collector.HandlePerformanceRequest(PerformanceRequest(future, 1), reply));
    EXPECT_EQ(reply.getErrorText(), L"invalid timestamp");
    EXPECT_FALSE(reply.contains(L"metrics"));
    EXPECT_FALSE(collector.IsCollecting());
}

TEST_F(PerformanceRequestTest, FailedStartsAreReportedAndTheNextRequestTriesAgain) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    PerformanceCollector collector;
    collector.StoreSample(Sample(1, 1, L"before"));

    FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    CORE::PropertyBag created;
    EXPECT_FALSE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), created));
    EXPECT_EQ(created.getErrorText(), L"Failed to handle performance request");
    EXPECT_TRUE(m_log.Has(4, L"Failed to create collection thread, error: 8"));
    EXPECT_FALSE(collector.IsCollecting());
    EXPECT_EQ(collector.SampleCount(), 1u);  // not cleared: no thread was made

    // A thread that cannot be resumed: the store is cleared, and the next request lets the
    // waiting thread go and starts a new one.
    FailCall("ResumeThread", ERROR_ACCESS_DENIED);
    CORE::PropertyBag resumed;
    EXPECT_FALSE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), resumed));
    EXPECT_EQ(resumed.getErrorText(), L"Failed to handle performance request");
    EXPECT_TRUE(m_log.Has(4, L"Failed to resume collection thread, error: 5"));
    EXPECT_FALSE(collector.IsCollecting());
    EXPECT_EQ(collector.SampleCount(), 0u);

    CORE::PropertyBag reply;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), reply));
    EXPECT_TRUE(collector.IsCollecting());
    EXPECT_FALSE(Bags(reply.getBag(L"metrics"), L"metric").empty());
    // Only the current thread collects: the released one ended without a sample.
    EXPECT_EQ(m_log.Count(0, L"Backgroud collection thread started."), 2u);
}

TEST_F(PerformanceRequestTest, FailedCycleEndsTheThreadAndTheNextRequestStartsAnother) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    PerformanceCollector collector;
    FailCall("GlobalMemoryStatusEx", ERROR_ACCESS_DENIED);
    CORE::PropertyBag reply;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), reply));
    EXPECT_TRUE(reply.getBag(L"metrics").empty());
    ASSERT_TRUE(WaitUntil([&] { return !collector.IsCollecting(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(m_log.Has(4, L"Failed to collect performance metrics."));

    CORE::PropertyBag again;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), again));
    EXPECT_TRUE(collector.IsCollecting());
    EXPECT_FALSE(Bags(again.getBag(L"metrics"), L"metric").empty());
}

TEST_F(PerformanceRequestTest, ThreadEndsAfterItsLifetimeAndARequestStartsAFreshOne) {
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"3");
    InFreshProcess([] {
        LogCapture log;
        PerformanceCollector collector;
        // The first request waits 2 s for samples, a second one right after moves the
        // deadline from 3 s to 5 s after the start; at 4 s the thread still runs.
        CORE::PropertyBag first;
        if (!collector.HandlePerformanceRequest(PerformanceRequest({}, 1), first)) return false;
        CORE::PropertyBag keepAlive;
        if (!collector.HandlePerformanceRequest(PerformanceRequest({}, 0), keepAlive)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        if (!Step(collector.IsCollecting(), "kept alive")) return false;

        if (!Step(WaitUntil([&] { return !collector.IsCollecting(); }, std::chrono::seconds(10)),
                  "ends") ||
            !Step(log.Has(0, L"Background collection thread quit."), "quit line")) {
            return false;
        }
        const size_t kept = collector.SampleCount();
        // Samples outlive the thread until the next one starts.
        if (!Step(kept >= 3 && Bags(collector.BuildMetrics(0, 1), L"metric").size() == kept,
                  "samples kept")) {
            return false;
        }

        const DWORD restart = GetTickCount();
        CORE::PropertyBag second;
        if (!collector.HandlePerformanceRequest(PerformanceRequest({}, 1), second)) return false;
        const size_t reported = Bags(second.getBag(L"metrics"), L"metric").size();
        return Step(collector.IsCollecting(), "restarted") &&
               Step(reported >= 1 && reported < kept, "fresh samples only") &&
               Step(Bags(collector.BuildMetrics(restart, 1), L"metric").size() ==
                        collector.SampleCount(),
                    "none from before") &&
               Step(log.Count(0, L"Backgroud collection thread started.") == 2, "two starts");
    });
}

}  // namespace
}  // namespace dorn::test
