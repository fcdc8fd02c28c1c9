// The "Performance" operation: the sample store and what a request reports from it, one
// sampling cycle's arithmetic, and the collection thread's start, lifetime, restart and
// failures, on a clock the test moves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "PerformanceCollector.h"
#include "Bags.h"
#include "FaultInjection.h"
#include "FreshProcess.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "Waiting.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

// A tick count the test moves on. The collection thread's pause ends once the clock has moved a
// cycle past its start; the request's first-samples pause moves the clock on by its length.
// Both moves return once the thread has taken the samples that fell due: it pauses again, or it
// has quit.
class TestClock final : public CollectorClock {
  public:
    explicit TestClock(DWORD start) : m_now(start) {}

    // The collector whose thread the moves wait for.
    void Follow(PerformanceCollector& collector) { m_collector = &collector; }

    DWORD TickCount() override { return m_now.load(); }

    void Pause(DWORD milliseconds) override {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_pauses.push_back(milliseconds);
        }
        Settle();
        Advance(milliseconds);
    }

    bool PauseUnless(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                     DWORD milliseconds, const std::function<bool()>& stopped) override {
        const DWORD start = m_now.load();
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_waiter = Waiter{lock.mutex(), &wake, start, milliseconds};
        }
        wake.wait(lock, [&] { return stopped() || m_now.load() - start >= milliseconds; });
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_waiter.reset();
        }
        return !stopped();
    }

    // Waits for a stopped thread to park however slow the machine: terminating one that is still
    // in a step could leave a lock held (the log's, the heap's) that the next case needs.
    DWORD ParkWaitMs() override { return INFINITE; }

    void Advance(DWORD milliseconds) {
        m_now += milliseconds;
        std::optional<Waiter> waiter;
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            waiter = m_waiter;
        }
        if (waiter) {
            // Taking the waiter's lock orders the move before its next look at the clock.
            { const std::lock_guard<std::mutex> order(*waiter->lock); }
            waiter->wake->notify_all();
        }
        Settle();
    }

    std::vector<DWORD> Pauses() {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_pauses;
    }

  private:
    struct Waiter {
        std::mutex* lock;
        std::condition_variable* wake;
        DWORD start;
        DWORD length;
    };

    bool ThreadPausesUntilLater() {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_waiter && m_now.load() - m_waiter->start < m_waiter->length;
    }

    void Settle() {
        ASSERT_NE(m_collector, nullptr) << "the clock follows no collector";
        EXPECT_TRUE(WaitUntil([&] {
            return ThreadPausesUntilLater() || !m_collector->IsCollecting();
        })) << "the collection thread neither paused nor quit";
    }

    std::atomic<DWORD> m_now;
    PerformanceCollector* m_collector = nullptr;
    std::mutex m_lock;
    std::optional<Waiter> m_waiter;
    std::vector<DWORD> m_pauses;
};

// Readings that grow by the same amounts every cycle: processor share 50 %, memory load 37 %,
// one process; a cycle fails while `g_readingsFail` is set.
std::atomic<uint64_t> g_processorTime{0};
std::atomic<bool> g_readingsFail{false};

SampleSources SteadySources() {
    g_processorTime = 0;
    g_readingsFail = false;
    return SampleSources{[](uint64_t& total, uint64_t& idle) {
                             total = g_processorTime += 1000;
                             idle = total / 2;
                             return !g_readingsFail.load();
                         },
                         [](ProcessMap& map) {
                             ProcessCounters counters;
                             counters.imageName = L"worker";
                             map[ProcessKey{132000000000000000, 40}] = counters;
                             return true;
                         },
                         [](uint32_t& percent) {
                             percent = 37;
                             return true;
                         }};
}

std::atomic<int32_t> g_lifetime{120000};
int32_t ChosenLifetime() {
    return g_lifetime.load();
}

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

// "timestamp" as a console passes it back: the 64-bit number of the previous reply.
CORE::PropertyBag PerformanceRequest(std::optional<int64_t> timestamp,
                                     std::optional<int32_t> type) {
    CORE::PropertyBag request;
    request.add(L"opcode", L"Performance");
    if (timestamp) request.addInt64(L"timestamp", *timestamp);
    if (type) request.addInt(L"type", *type);
    return request;
}

size_t MetricCount(const CORE::PropertyBag& reply) {
    return Bags(reply.getBag(L"metrics"), L"metric").size();
}

TEST(PerformanceStoreTest, ReportsWhatTypeAndTimestampSelect) {
    PerformanceCollector collector;
    EXPECT_TRUE(collector.BuildMetrics(0, 65535).empty());

    collector.StoreSample(Sample(1000, 10.9, L"oldest"));
    collector.StoreSample(Sample(2000, 11, L"middle"));
    collector.StoreSample(Sample(3000, 12, L"newest"));

    // Only machine-wide values, truncated, as 64-bit numbers; the protocol value and the tick
    // stay out. Processes of the newest sample only, without a "timestamp".
    const CORE::PropertyBag all = collector.BuildMetrics(0, 65535);
    const std::string metrics = R"("metric": [{"cpu": 10, "mem": 20, "disk": 42}, )"
                                R"({"cpu": 11, "mem": 20, "disk": 42}, )"
                                R"({"cpu": 12, "mem": 20, "disk": 42}])";
    EXPECT_EQ(Json(all).substr(0, metrics.size() + 3), "{" + metrics + ", ");
    EXPECT_EQ(Shape(collector.BuildMetrics(0, 1)),
              ShapeOf(R"({"metric": [{"cpu": "int64", "mem": "int64", "disk": "int64"},
                                     {"cpu": "int64", "mem": "int64", "disk": "int64"},
                                     {"cpu": "int64", "mem": "int64", "disk": "int64"}]})"));
    EXPECT_EQ(KeysOf(all),
              (std::vector<std::wstring>{L"metric", L"metric", L"metric", L"processMetrics"}));
    const CORE::PropertyBag processes = all.getBag(L"processMetrics");
    EXPECT_EQ(KeysOf(processes), std::vector<std::wstring>{L"process"});
    EXPECT_EQ(processes.getBag(L"process").get(L"name"), L"newest");
    EXPECT_EQ(processes.getBag(L"process").size(), 8u);
    EXPECT_FALSE(processes.getBag(L"process").contains(L"timestamp"));

    const struct {
        DWORD since;
        int32_t type;
        size_t metrics;
        bool processes;
    } selections[] = {
        {0, 1, 3, false},           {0, 2, 0, true},
        {0, 0, 0, false},           {0, 4 | 8 | 0x100, 0, false},  // other bits are ignored
        {2000, 1, 2, false},                                       // at or after the timestamp
        {2001, 3, 1, true},         {3001, 3, 0, true},
        {0xF0000000u, 1, 0, false},  // compared as unsigned tick counts
    };
    for (const auto& selection : selections) {
        const CORE::PropertyBag bag = collector.BuildMetrics(selection.since, selection.type);
        EXPECT_EQ(Bags(bag, L"metric").size(), selection.metrics) << selection.since;
        EXPECT_EQ(bag.contains(L"processMetrics"), selection.processes) << selection.type;
    }
}

TEST(PerformanceStoreTest, KeepsTheNewest121Samples) {
    PerformanceCollector collector;
    for (int i = 1; i <= 130; ++i) collector.StoreSample(Sample(i, i, L"p"));
    EXPECT_EQ(collector.SampleCount(), 121u);
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
    TestClock clock(4000000000u);
    SampleTaker taker(ScriptedSources(), clock);
    ProcessMap maps[2];
    std::vector<double> shares;
    for (int cycle = 0; cycle < 6; ++cycle) {
        ProcessMap& current = maps[cycle % 2];
        current.clear();
        PerformanceSample sample;
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
        EXPECT_EQ(sample.values[1].category, 1u);
        EXPECT_EQ(sample.values[1].value, 37);
        EXPECT_EQ(sample.tick, 4000000000u);
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
    SampleTaker failing(ScriptedSources(), clock);
    PerformanceSample sample;
    ProcessMap current;
    EXPECT_FALSE(failing.Take(ProcessMap{}, current, sample, [](std::vector<MetricValue>&) {
        ADD_FAILURE() << "counters collected after a failed reading";
    }));
}

class PerformanceRequestTest : public ::testing::Test {
  protected:
    PerformanceRequestTest() { g_lifetime = 120000; }

    RegistrySandbox m_registry;
    LogCapture m_log;
};

TEST_F(PerformanceRequestTest, FirstRequestWaitsForTwoSamplesAndPollsGetTheNewerOnes) {
    TestClock clock(5000);
    PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
    clock.Follow(collector);

    // The store is empty: the request pauses 2000 ms, in which the new thread samples at once
    // and again a cycle later (here, when the pause ends).
    CORE::PropertyBag first;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 0), first));
    EXPECT_EQ(Shape(first), ShapeOf(R"({"timestamp": "int64", "metrics": {}})"));
    EXPECT_EQ(first.getInt64(L"timestamp"), 7000);
    EXPECT_EQ(clock.Pauses(), std::vector<DWORD>{2000});
    EXPECT_EQ(collector.SampleCount(), 2u);
    EXPECT_TRUE(m_log.Has(0, L"Backgroud collection thread started."));

    // No pause with samples stored. Without "type" both parts are reported; polling with the
    // last reply's timestamp gets the samples from its tick on.
    CORE::PropertyBag all;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), all));
    EXPECT_EQ(clock.Pauses(), std::vector<DWORD>{2000});
    EXPECT_EQ(KeysOf(all.getBag(L"metrics")),
              (std::vector<std::wstring>{L"metric", L"metric", L"processMetrics"}));
    EXPECT_EQ(all.getBag(L"metrics").getBag(L"metric").getInt64(L"cpu", -1), 50);
    EXPECT_EQ(all.getBag(L"metrics").getBag(L"metric").getInt64(L"mem", -1), 37);
    CORE::PropertyBag poll;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest(7000, 1), poll));
    EXPECT_EQ(MetricCount(poll), 1u);

    // Samples are one cycle, 1000 ms, apart.
    clock.Advance(999);
    EXPECT_EQ(collector.SampleCount(), 2u);
    clock.Advance(1);
    EXPECT_EQ(collector.SampleCount(), 3u);
    CORE::PropertyBag next;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest(7001, 1), next));
    EXPECT_EQ(MetricCount(next), 1u);
    EXPECT_EQ(next.getInt64(L"timestamp"), 8000);
    EXPECT_EQ(clock.Pauses(), std::vector<DWORD>{2000});
}

// A lifetime that is not positive means 120000 ms; the longest, 2147483647 ms, still lies ahead
// of the tick count, also across its wrap; a deadline that would be 0 (no thread) is 1. The
// thread looks at the deadline after each pause: it goes on at a tick one before, and quits at
// the deadline itself.
TEST_F(PerformanceRequestTest, ThreadQuitsWhenItsLifetimeHasPassed) {
    const struct {
        DWORD start;
        int32_t lifetime;
        DWORD deadline;
    } cases[] = {
        {10000, 0, 130000},
        {10000, -1000, 130000},
        {10000, 5000, 15000},
        {10000, 2147483647, 2147493647u},
        {4294900000u, 2147483647, 2147416351u},
        {4294900000u, 120000, 52704},
        {4294847296u, 120000, 1},
    };
    for (const auto& example : cases) {
        for (const DWORD before : {1u, 0u}) {
            SCOPED_TRACE(testing::Message() << example.lifetime << " at " << before << " before");
            g_lifetime = example.lifetime;
            m_log.Clear();
            TestClock clock(example.start);
            PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
            clock.Follow(collector);
            CORE::PropertyBag reply;
            ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), reply));
            EXPECT_EQ(collector.Deadline(), example.deadline);

            clock.Advance(example.deadline - before - clock.TickCount());
            EXPECT_EQ(collector.IsCollecting(), before == 1);
            EXPECT_EQ(m_log.Has(0, L"Background collection thread quit."), before == 0);
            // Taken at the start, at the end of the request's pause, and one before the end.
            EXPECT_EQ(collector.SampleCount(), before == 1 ? 3u : 2u);
        }
    }
}

// With no setting the lifetime is 120000 ms; "CollectThreadLifeTimeInSecs" = "3" makes it
// 3000 ms. The setting is read once per process, so each case runs in a process of its own.
TEST_F(PerformanceRequestTest, LifetimeComesFromTheSetting) {
    for (const auto& [setting, lifetime] :
         {std::pair<const wchar_t*, DWORD>{nullptr, 120000}, {L"3", 3000}}) {
        if (setting != nullptr)
            SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", setting);
        InFreshProcess([lifetime = lifetime] {
            TestClock clock(50000);
            PerformanceCollector collector(clock, SteadySources());
            clock.Follow(collector);
            CORE::PropertyBag reply;
            return collector.HandlePerformanceRequest(PerformanceRequest({}, 1), reply) &&
                   collector.Deadline() == 50000 + lifetime;
        });
    }
}

TEST_F(PerformanceRequestTest, EveryRequestExtendsTheLifetimeAndANewThreadStartsAfresh) {
    g_lifetime = 10000;
    TestClock clock(1000);
    PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
    clock.Follow(collector);
    CORE::PropertyBag reply;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), reply));
    EXPECT_EQ(collector.Deadline(), 11000u);

    // Each request moves the deadline to now plus the lifetime, whatever it asks for; a refused
    // one changes nothing.
    const std::pair<std::optional<int64_t>, std::optional<int32_t>> requests[] = {
        {{}, 0}, {3000, 1}, {0, 2}, {{}, {}}};
    for (const auto& [timestamp, type] : requests) {
        clock.Advance(1000);
        CORE::PropertyBag extended;
        ASSERT_TRUE(
            collector.HandlePerformanceRequest(PerformanceRequest(timestamp, type), extended));
        EXPECT_EQ(collector.Deadline(), clock.TickCount() + 10000);
    }
    EXPECT_EQ(collector.Deadline(), 17000u);
    CORE::PropertyBag refused;
    EXPECT_FALSE(collector.HandlePerformanceRequest(PerformanceRequest(7001, 1), refused));
    EXPECT_EQ(refused.getErrorText(), L"invalid timestamp");
    EXPECT_FALSE(refused.contains(L"metrics"));
    EXPECT_EQ(collector.Deadline(), 17000u);

    clock.Advance(9999);
    EXPECT_TRUE(collector.IsCollecting());
    clock.Advance(1000);
    EXPECT_FALSE(collector.IsCollecting());
    // Samples outlive the thread: 1000, 3000, 4000, 5000, 6000, 7000 and 16999.
    EXPECT_EQ(Bags(collector.BuildMetrics(0, 1), L"metric").size(), 7u);

    // The next request starts a new thread, which discards them, and pauses again.
    CORE::PropertyBag fresh;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), fresh));
    EXPECT_EQ(MetricCount(fresh), 2u);
    EXPECT_EQ(fresh.getInt64(L"timestamp"), 19999);
    EXPECT_EQ(clock.Pauses(), (std::vector<DWORD>{2000, 2000}));
    EXPECT_EQ(m_log.Count(0, L"Backgroud collection thread started."), 2u);
}

// Tick counts past 2^31 go out as 64-bit numbers and come back as such; both are compared as
// unsigned 32-bit tick counts.
TEST_F(PerformanceRequestTest, TimestampsPastTwoToThe31st) {
    TestClock clock(2147483648u + 10);
    PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
    clock.Follow(collector);
    CORE::PropertyBag refused;
    EXPECT_FALSE(collector.HandlePerformanceRequest(PerformanceRequest(3000000000LL, 1), refused));
    EXPECT_EQ(refused.getErrorText(), L"invalid timestamp");
    EXPECT_FALSE(collector.IsCollecting());

    clock.Advance(3000000000u - 2000 - clock.TickCount());
    CORE::PropertyBag first;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), first));
    EXPECT_EQ(first.getInt64(L"timestamp"), 3000000000LL);
    EXPECT_EQ(MetricCount(first), 2u);
    clock.Advance(1000);
    CORE::PropertyBag poll;
    ASSERT_TRUE(collector.HandlePerformanceRequest(
        PerformanceRequest(first.getInt64(L"timestamp"), 1), poll));
    EXPECT_EQ(MetricCount(poll), 2u);  // 3000000000 and 3000001000
    EXPECT_EQ(poll.getInt64(L"timestamp"), 3000001000LL);
}

TEST_F(PerformanceRequestTest, FailedCycleEndsTheThreadAndTheNextRequestStartsAnother) {
    TestClock clock(1000);
    PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
    clock.Follow(collector);
    g_readingsFail = true;
    CORE::PropertyBag reply;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, {}), reply));
    EXPECT_TRUE(reply.getBag(L"metrics").empty());
    EXPECT_FALSE(collector.IsCollecting());
    ASSERT_TRUE(WaitUntil([&] { return m_log.Has(4, L"Failed to collect performance metrics."); }));

    g_readingsFail = false;
    CORE::PropertyBag again;
    ASSERT_TRUE(collector.HandlePerformanceRequest(PerformanceRequest({}, 1), again));
    EXPECT_TRUE(collector.IsCollecting());
    EXPECT_EQ(MetricCount(again), 2u);
}

TEST_F(PerformanceRequestTest, FailedStartsAreReportedAndTheNextRequestTriesAgain) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    TestClock clock(1000);
    PerformanceCollector collector(clock, SteadySources(), ChosenLifetime);
    clock.Follow(collector);
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
    EXPECT_EQ(MetricCount(reply), 2u);
    // Only the current thread collects: the released one ended without a sample.
    EXPECT_TRUE(
        WaitUntil([&] { return m_log.Count(0, L"Backgroud collection thread started.") == 2u; }));
}

// Through the dispatcher, on the system's clock and readings: the process-wide collector
// answers once its new thread has sampled, with this process among the newest sample's.
TEST_F(PerformanceRequestTest, DispatchedRequestReportsThisMachine) {
    EXPECT_TRUE(WaitUntil([] {
        const Answer answer = Handle(PerformanceRequest({}, 2));
        EXPECT_TRUE(answer.result) << std::wstring(answer.reply.getErrorText());
        for (const CORE::PropertyBag& process :
             Bags(answer.reply.getBag(L"metrics").getBag(L"processMetrics"), L"process")) {
            if (process.getInt64(L"id") == GetCurrentProcessId()) return true;
        }
        return false;
    }));
}

}  // namespace
}  // namespace dorn::test
