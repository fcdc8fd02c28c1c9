// The historical collector: the configuration sent to the monitor, the intake of its pushes
// with the collector's own latency counters, the 30-entry history and the per-session reply.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CounterNameIndex.h"
#include "CounterSetUpdate.h"
#include "HistoricalCollector.h"
#include "MonitorStub.h"
#include "Bags.h"
#include "FaultInjection.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "CountersFixture.h"
#include "HelpDeskRequests.h"
#include "TempDirectory.h"

namespace dorn::test {
namespace {

// Vexel instances of sessions 2 and 3 and one that names no session; a PCoIP instance of 2.
const char* const kLatencyCounters = R"json({"objects": [
  {"name": "Pallido Vexel Session Counters", "counters": ["RTT"],
   "instances": {"Session ID: 2; (main)": {"RTT": 12.7}, "Session ID: 3; (main)": {"RTT": 30},
                 "Console": {"RTT": 5}}},
  {"name": "PCoIP Session Network Statistics", "counters": ["Round Trip Latency ms"],
   "instances": {"PCoIP Session 2": {"Round Trip Latency ms": 40.2}}}
]})json";

std::vector<CORE::PropertyBag> MetricBags(const CORE::PropertyBag& reply) {
    return Bags(reply.getBag(L"historicalMetrics"), L"metric");
}

CORE::PropertyBag SessionBag(int32_t sessionId, const wchar_t* key, int64_t value) {
    CORE::PropertyBag bag;
    bag.addInt(L"sessionId", sessionId);
    bag.addInt64(key, value);
    return bag;
}

CORE::PropertyBag PushBag(int64_t cpu) {
    CORE::PropertyBag push;
    push.addInt64(L"overall_cpu", cpu);
    push.addInt64(L"overall_mem", 50);
    return push;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One history entry as JSON, its timestamp left out.
std::string WithoutTimestamp(CORE::PropertyBag entry) {
    entry.remove(L"timestamp");
    return Json(entry);
}

// The counter tests' clean start, with a monitor that takes the configuration.
class HistoricalCollectorTest : public CountersTest {
  protected:
    void Publish(const std::string& json) { CountersTest::Publish("latency.json", json); }

    void Push(HistoricalCollector& collector, const CORE::PropertyBag& push) {
        CORE::PropertyBag reply;
        collector.AddMonitorData(push, reply);
        EXPECT_TRUE(reply.empty());
    }

    MonitorStub m_monitor;
};

TEST_F(HistoricalCollectorTest, StartTellsTheMonitorWhatToPush) {
    HistoricalCollector collector;
    EXPECT_FALSE(collector.IsConfigured());
    ASSERT_TRUE(collector.StartHistoricalCollector());
    EXPECT_TRUE(collector.IsConfigured());
    EXPECT_TRUE(m_log.Has(1, L"waiting for perfmon queue"));

    const auto messages = m_monitor.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, L"configPerfmonMetrics");
    const std::string row = R"({"strCounterObject": "text", "strCounter": "text",
        "strInstance": "text", "strMetricName": "text", "bSessionRelated": "bool",
        "dwType": "int32", "dwScale": "int32", "isAdd": "bool"})";
    EXPECT_EQ(Shape(messages[0].second),
              ShapeOf(R"({"plugin_name": "text", "trelPerfmonMetrics": [)" + row + ", " + row +
                      ", " + row + ", " + row + "]}"));
    EXPECT_EQ(Json(messages[0].second), ShapeOf(R"({"plugin_name": "dorn_helpdesk",
        "trelPerfmonMetrics": [
          {"strCounterObject": "PhysicalDisk", "strCounter": "Disk Reads/sec",
           "strInstance": "_Total", "strMetricName": "disk_iops_reads",
           "bSessionRelated": false, "dwType": 1, "dwScale": 1, "isAdd": true},
          {"strCounterObject": "PhysicalDisk", "strCounter": "Disk Writes/sec",
           "strInstance": "_Total", "strMetricName": "disk_iops_writes",
           "bSessionRelated": false, "dwType": 1, "dwScale": 1, "isAdd": true},
          {"strCounterObject": "PhysicalDisk", "strCounter": "Disk Transfers/sec",
           "strInstance": "_Total", "strMetricName": "disk_iops",
           "bSessionRelated": false, "dwType": 1, "dwScale": 1, "isAdd": true},
          {"strCounterObject": "PhysicalDisk", "strCounter": "Avg. Disk sec/Transfer",
           "strInstance": "_Total", "strMetricName": "disk_latency",
           "bSessionRelated": false, "dwType": 1, "dwScale": 1000, "isAdd": true}]})"));
}

// The monitor's queue is waited for up to 120000 ms; when it does not come the collector stays
// unconfigured, sends nothing, and the next push asks again.
std::vector<std::pair<std::wstring, DWORD>> g_workerChecks;
bool NoMonitor(const wchar_t* queue, DWORD timeoutMs) {
    g_workerChecks.emplace_back(queue, timeoutMs);
    return false;
}

TEST_F(HistoricalCollectorTest, MonitorThatNeverComesIsWaitedForTwoMinutes) {
    g_workerChecks.clear();
    m_log.Clear();
    HistoricalCollector collector(NoMonitor);
    EXPECT_TRUE(collector.StartHistoricalCollector());
    EXPECT_FALSE(collector.IsConfigured());
    EXPECT_EQ(m_log.Messages(), (std::vector<std::wstring>{L"waiting for perfmon queue",
                                                           L"perfmon cannot be loaded"}));
    EXPECT_TRUE(m_log.Has(1, L"waiting for perfmon queue"));
    EXPECT_TRUE(m_log.Has(4, L"perfmon cannot be loaded"));
    EXPECT_TRUE(m_monitor.Messages().empty());
    Push(collector, PushBag(1));
    EXPECT_EQ(g_workerChecks, (std::vector<std::pair<std::wstring, DWORD>>{{L"perfmon", 120000},
                                                                           {L"perfmon", 120000}}));
    EXPECT_EQ(m_log.Count(4, L"perfmon cannot be loaded"), 2u);
    EXPECT_TRUE(m_monitor.Messages().empty());
}

TEST_F(HistoricalCollectorTest, ConfigurationIsRetriedUntilTheMonitorTakesIt) {
    // Switched off: nothing is sent at start, and the line comes from the setting and the start.
    SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"1");
    HistoricalCollector disabled;
    EXPECT_TRUE(disabled.StartHistoricalCollector());
    EXPECT_EQ(m_log.Count(1, L"Historical collector was disabled"), 2u);
    EXPECT_TRUE(m_monitor.Messages().empty());
    EXPECT_FALSE(disabled.IsConfigured());
    Push(disabled, PushBag(1));
    EXPECT_TRUE(disabled.IsConfigured());
    EXPECT_EQ(m_monitor.Messages().size(), 1u);

    // A monitor that refuses the message leaves the collector unconfigured; each push asks again,
    // and the pushes are kept all the same.
    SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"0");
    MonitorStub refusing(false);
    HistoricalCollector collector;
    EXPECT_TRUE(collector.StartHistoricalCollector());
    EXPECT_FALSE(collector.IsConfigured());
    EXPECT_EQ(m_log.Count(4, L"cannot send message to helpdesk queue"), 1u);
    Push(collector, PushBag(1));
    Push(collector, PushBag(2));
    EXPECT_EQ(refusing.Messages().size(), 3u);
    EXPECT_EQ(m_log.Count(4, L"cannot send message to helpdesk queue"), 3u);
    CORE::PropertyBag reply;
    collector.BuildHistoricalReply(1, reply);
    EXPECT_EQ(MetricBags(reply).size(), 2u);
}

TEST_F(HistoricalCollectorTest, HistoryKeepsTheNewest30OldestFirst) {
    HistoricalCollector collector;
    CORE::PropertyBag empty;
    collector.BuildHistoricalReply(2, empty);
    EXPECT_TRUE(empty.empty());

    const int64_t before = NowMs();
    for (int i = 1; i <= 31; ++i) Push(collector, PushBag(i));
    const int64_t after = NowMs();

    CORE::PropertyBag reply;
    collector.BuildHistoricalReply(2, reply);
    EXPECT_EQ(KeysOf(reply), std::vector<std::wstring>{L"historicalMetrics"});
    const auto bags = MetricBags(reply);
    ASSERT_EQ(bags.size(), 30u);
    int64_t previous = before;
    for (size_t i = 0; i < bags.size(); ++i) {
        EXPECT_EQ(bags[i].getInt64(L"overall_cpu"), static_cast<int64_t>(i) + 2);
        const int64_t stamp = bags[i].getInt64(L"timestamp");
        EXPECT_GE(stamp, previous);
        EXPECT_LE(stamp, after);
        previous = stamp;
    }
}

TEST_F(HistoricalCollectorTest, ReplyHoldsMachineValuesAndOnlyTheSessionsOwn) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    SetFakeSessions({{2, L"alice", WTSActive, L"Console"}});
    Publish(kLatencyCounters);
    HistoricalCollector collector;
    ASSERT_TRUE(collector.StartHistoricalCollector());

    CORE::PropertyBag push;  // no "overall_cpu", no "disk_iops_writes"
    push.addInt64(L"overall_mem", 61);
    push.addInt64(L"disk_iops_reads", 7);
    push.addInt64(L"disk_iops", 9);
    push.addInt64(L"disk_latency", 3);
    push.addBag(L"sessionCpuMetric", SessionBag(2, L"cpu", 15));
    push.addBag(L"sessionCpuMetric", SessionBag(3, L"cpu", 25));
    push.addBag(L"sessionMemMetric", SessionBag(2, L"mem", 35));
    CORE::PropertyBag noSession;
    noSession.addInt64(L"mem", 99);
    push.addBag(L"sessionMemMetric", noSession);
    Push(collector, push);

    // The monitor's disk latency is not scaled again; 12.7 is truncated. Session 3 sees its own
    // Vexel latency and processor share, no PCoIP and no memory value; the "Console" instance
    // names no session and reaches nobody.
    const std::pair<int32_t, const char*> replies[] = {
        {2, R"({"disk_iops_reads": 7, "disk_iops_writes": 0, "disk_iops": 9, "disk_latency": 3, )"
            R"("pcoip_latency": 40, "vexel_latency": 12, "overall_cpu": 0, "overall_mem": 61, )"
            R"("cpu": 15, "mem": 35})"},
        {3, R"({"disk_iops_reads": 7, "disk_iops_writes": 0, "disk_iops": 9, "disk_latency": 3, )"
            R"("vexel_latency": 30, "overall_cpu": 0, "overall_mem": 61, "cpu": 25})"}};
    for (const auto& [session, expected] : replies) {
        CORE::PropertyBag reply;
        collector.BuildHistoricalReply(session, reply);
        const auto bags = MetricBags(reply);
        ASSERT_EQ(bags.size(), 1u) << session;
        EXPECT_EQ(bags[0].keyAt(0), L"timestamp");
        EXPECT_EQ(WithoutTimestamp(bags[0]), expected);
        // Every value goes out as a 64-bit number.
        CORE::PropertyBag widths = bags[0];
        for (size_t i = 0; i < widths.size(); ++i) {
            EXPECT_EQ(widths.typeAt(i), CORE::PropertyBag::ValueType::Int64) << i;
        }
    }
}

// The latency set is brought up to date at every push: a session that becomes active, and a
// session instance that appears, after the first push are sampled from the next one on.
TEST_F(HistoricalCollectorTest, LatencyCountersFollowSessionsThatAppearLater) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    HistoricalCollector collector;
    ASSERT_TRUE(collector.StartHistoricalCollector());
    Publish(R"json({"objects": [{"name": "Pallido Vexel Session Counters", "counters": ["RTT"],
        "instances": {"Session ID: 2; (main)": {"RTT": 12.7}}}]})json");
    Push(collector, PushBag(1));  // no active session yet
    SetFakeSessions({{2, L"alice", WTSActive, L"Console"}});
    Push(collector, PushBag(2));
    Publish(kLatencyCounters);  // now with session 3's instance
    Push(collector, PushBag(3));

    const std::pair<int32_t, std::vector<int64_t>> latencies[] = {{2, {-1, 12, 12}},
                                                                  {3, {-1, -1, 30}}};
    for (const auto& [session, expected] : latencies) {
        CORE::PropertyBag reply;
        collector.BuildHistoricalReply(session, reply);
        std::vector<int64_t> seen;
        for (const CORE::PropertyBag& entry : MetricBags(reply)) {
            seen.push_back(entry.getInt64(L"vexel_latency", -1));
        }
        EXPECT_EQ(seen, expected) << session;
    }
}

TEST_F(HistoricalCollectorTest, UnreadableClockStoresTimestampZero) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    HistoricalCollector collector;
    FailCall("SystemTimeToFileTime", ERROR_INVALID_PARAMETER);
    Push(collector, PushBag(5));
    EXPECT_TRUE(m_log.Has(4, L"Failed to get current timestamp, error is 0x57"));
    CORE::PropertyBag reply;
    collector.BuildHistoricalReply(1, reply);
    const auto bags = MetricBags(reply);
    ASSERT_EQ(bags.size(), 1u);
    EXPECT_EQ(bags[0].getInt64(L"timestamp", -1), 0);
    EXPECT_EQ(bags[0].getInt64(L"overall_cpu"), 5);
}

TEST_F(HistoricalCollectorTest, PushesAndRequestsFromManyThreads) {
    HistoricalCollector collector;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&collector, t] {
            for (int i = 0; i < 20; ++i) {
                CORE::PropertyBag reply;
                collector.AddMonitorData(PushBag(t * 100 + i), reply);
            }
        });
    }
    threads.emplace_back([&collector] {
        for (int i = 0; i < 40; ++i) {
            CORE::PropertyBag reply;
            collector.BuildHistoricalReply(1, reply);
            EXPECT_LE(MetricBags(reply).size(), 30u);
        }
    });
    for (auto& thread : threads) thread.join();
    CORE::PropertyBag reply;
    collector.BuildHistoricalReply(1, reply);
    EXPECT_EQ(MetricBags(reply).size(), 30u);
}

TEST(SessionIdFromInstanceTest, EachProtocolHasItsOwnPattern) {
    const struct {
        const wchar_t* instance;
        DWORD type;
        std::optional<int32_t> id;
    } cases[] = {
        {L"Session ID: 7; (main)", 4, 7},
        {L"Session ID:12", 4, 12},  // white space may be absent
        {L"PCoIP Session -3", 8, -3},
        {L"PCoIP Session 2147483647", 8, 2147483647},
        {L"Session ID: 7", 8, {}},  // the other protocol's form
        {L"PCoIP Session 2", 4, {}},
        {L"Session ID: 7", 1, {}},
        {L"session id: 7", 4, {}},
        {L"Session ID: main", 4, {}},
        {L"Session ID: ", 4, {}},
        {L"PCoIP Session 2147483648", 8, {}},
        {L"", 8, {}},
    };
    for (const auto& example : cases) {
        int32_t id = 99;
        EXPECT_EQ(SessionIdFromInstance(example.instance, example.type, id), example.id.has_value())
            << example.instance;
        EXPECT_EQ(id, example.id.value_or(99)) << example.instance;  // untouched on failure
    }
}

// The dispatcher's rows for the collector: a request without a session is refused, a push and
// a request of a session without history both succeed.
TEST_F(HistoricalCollectorTest, DispatchRows) {
    Answer missing = Handle(Request(L"HistoricalMetrics"));
    EXPECT_FALSE(missing.result);
    EXPECT_EQ(missing.reply.getErrorText(), L"no session Id specified");
    EXPECT_TRUE(m_log.Has(4, L"GetHistoricalMetrics: no session Id specified"));

    Answer request = Handle(SessionRequest(L"HistoricalMetrics", 0));
    EXPECT_TRUE(request.result);
    EXPECT_FALSE(request.reply.isError());

    CORE::PropertyBag push = Request(L"NewDataFromTrelPerfmon");
    push.addInt64(L"overall_cpu", 88);
    Answer pushed = Handle(push);
    EXPECT_TRUE(pushed.result);
    EXPECT_TRUE(pushed.reply.empty());

    Answer after = Handle(SessionRequest(L"HistoricalMetrics", 0));
    EXPECT_TRUE(after.result);
    const auto bags = MetricBags(after.reply);
    ASSERT_FALSE(bags.empty());
    EXPECT_EQ(bags.back().getInt64(L"overall_cpu"), 88);
}

}  // namespace
}  // namespace dorn::test
