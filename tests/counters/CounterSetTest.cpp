// A counter set over published counter objects: adding by counter key, collecting in key order
// with the scale applied, dropping counters that fail twice in a row, and the PDH failure paths.
#include "FaultInjection.h"
#include "Waiting.h"
#include "CountersFixture.h"

namespace dorn::test {
namespace {

const wchar_t* const kVexel = L"Pallido Vexel Session Counters";
const wchar_t* const kVexelPath = L"\\Pallido Vexel Session Counters(Session ID: 3; (main))\\RTT";

std::string VexelFile(const std::string& rtt) {
    return R"j({"objects": [{"name": "Pallido Vexel Session Counters", "counters": ["RTT", "Latency"],
        "instances": {"Session ID: 3; (main)": {)j" +
           rtt + R"j(}}},
        {"name": "Pallido Disk Cache", "counters": ["Hit Ratio"], "values": {"Hit Ratio": 0.004}},
        {"name": "PCoIP Session Network Statistics", "counters": ["Round Trip Latency ms"],
         "instances": {"PCoIP Session 3 alice": {"Round Trip Latency ms": 41}}}]})j";
}

class CounterSetTest : public CountersTest {};

TEST_F(CounterSetTest, AddsEachCounterKeyOnceAndNamesPathsFromTheDefinition) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 12.7)"));
    PerfCounterSet set;
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4, 10));
    AddCounter(
        set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4, 1000));  // scale only
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt2", 4));
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4, 1, true));
    AddCounter(set, Definition(L"Pallido Disk Cache", L"Hit Ratio", L"", L"hits"));

    EXPECT_EQ(set.counters.size(), 4u);
    EXPECT_EQ(
        m_log.Count(1,
                    L"Add counter: Pallido Vexel Session Counters, RTT, Session ID: 3; (main), "
                    L"metric: rtt, metrics count: 1"),
        1u);
    EXPECT_TRUE(m_log.Has(
        1, L"Add counter: Pallido Disk Cache, Hit Ratio, , metric: hits, metrics count: 4"));
    EXPECT_EQ(Paths(set), (std::vector<std::wstring>{L"\\Pallido Disk Cache\\Hit Ratio", kVexelPath,
                                                     kVexelPath, kVexelPath}));
    const auto first =
        set.counters.find(L"Pallido Vexel Session Counters^RTT^Session ID: 3; (main)^rtt^4^0");
    ASSERT_NE(first, set.counters.end());
    EXPECT_EQ(first->second.definition.dwScale, 10u);  // the first one's scale is kept

    std::vector<MetricValue> values;
    ASSERT_TRUE(CollectValues(set, values));
    // wcscmp order: "rtt2^" before "rtt^" ('2' < '^'); the scale of the first "rtt" row applies.
    ASSERT_EQ(values.size(), 4u);
    EXPECT_DOUBLE_EQ(values[0].value, 0.004);
    EXPECT_EQ(values[1].key, L"rtt2");
    EXPECT_DOUBLE_EQ(values[1].value, 12.7);
    EXPECT_DOUBLE_EQ(values[2].value, 127.0);
    EXPECT_DOUBLE_EQ(values[3].value, 12.7);
}

TEST_F(CounterSetTest, CollectsInKeyOrderWithTheScaleAndAppends) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 12.7)"));
    PerfCounterSet set;
    std::vector<MetricValue> values{{L"kept", 1.0, 0}};
    const uint64_t collections = Calls("PdhCollectQueryData");
    ASSERT_TRUE(CollectValues(set, values));  // nothing added: no PDH call, nothing appended
    EXPECT_EQ(Calls("PdhCollectQueryData"), collections);
    EXPECT_EQ(values.size(), 1u);

    AddCounter(set, Definition(L"PhysicalDisk", L"Disk Writes/sec", L"_Total", L"writes"));
    AddCounter(set, Definition(L"PhysicalDisk", L"Disk Reads/sec", L"_Total", L"reads"));
    AddCounter(set, Definition(L"Pallido Disk Cache", L"Hit Ratio", L"", L"latency", 1, 1000));
    AddCounter(set, Definition(L"PCoIP Session Network Statistics", L"Round Trip Latency ms",
                               L"PCoIP Session 3 alice", L"pcoip", 8));
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"vexel", 4));
    // Rates need two collections: the disk counters read from the second on.
    ASSERT_TRUE(CollectValues(set, values));
    EXPECT_EQ(Keys(values), (std::vector<std::wstring>{L"kept", L"pcoip", L"latency", L"vexel"}));
    EXPECT_TRUE(m_log.Has(4,
                          L"Failed to get data from counter, error: 0xc0000bc6, perf counter path "
                          L"\\PhysicalDisk(_Total)\\Disk Reads/sec"));
    EXPECT_DOUBLE_EQ(values[2].value, 4.0);  // 0.004 s times 1000
    EXPECT_EQ(values[1].category, 8u);

    std::vector<CounterReading> readings;
    ASSERT_TRUE(CollectReadings(set, readings));
    ASSERT_EQ(readings.size(), 5u);
    EXPECT_EQ(readings[3].strMetricName, L"reads");
    EXPECT_EQ(readings[4].strMetricName, L"writes");
    EXPECT_EQ(readings[2].strInstance, L"Session ID: 3; (main)");
    EXPECT_EQ(readings[2].dwType, 4u);
    EXPECT_DOUBLE_EQ(readings[2].value, 12.7);
    EXPECT_DOUBLE_EQ(readings[1].value, 4.0);
    EXPECT_EQ(readings[1].dwScale, 1000u);
}

TEST_F(CounterSetTest, KeepsOrDropsCountersThatFailToRead) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 1)"));
    PerfCounterSet set;
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4));
    AddCounter(set, Definition(kVexel, L"Latency", L"Session ID: 3; (main)", L"latency", 4));
    const std::wstring failure =
        L"Failed to get data from counter, error: 0xc0000bc6, perf counter path "
        L"\\Pallido Vexel Session Counters(Session ID: 3; (main))\\Latency";

    std::vector<MetricValue> values;
    ASSERT_TRUE(CollectValues(set, values));  // keeps every counter, whatever it reads
    ASSERT_TRUE(CollectValues(set, values));
    EXPECT_EQ(m_log.Count(4, failure), 2u);
    EXPECT_EQ(set.counters.size(), 2u);

    // fail, succeed, fail: forgiven each time.
    ASSERT_TRUE(CollectValuesDropFailed(set, values));
    m_files.Replace("counters.json", VexelFile(R"("RTT": 1, "Latency": 2)"));
    ASSERT_TRUE(CollectValuesDropFailed(set, values));
    m_files.Replace("counters.json", VexelFile(R"("RTT": 1)"));
    ASSERT_TRUE(CollectValuesDropFailed(set, values));
    EXPECT_EQ(set.counters.size(), 2u);
    EXPECT_EQ(m_log.Count(1, failure), 2u);

    // A failed collection counts for no counter.
    FailCall("PdhCollectQueryData", 0xC0000BBC);
    const size_t before = values.size();
    EXPECT_FALSE(CollectValuesDropFailed(set, values));
    EXPECT_EQ(values.size(), before);
    EXPECT_TRUE(m_log.Has(4, L"Failed to collect data from counter, error: 0xc0000bbc"));

    // The second failure in a row drops it.
    ASSERT_TRUE(CollectValuesDropFailed(set, values));
    EXPECT_EQ(set.counters.size(), 1u);
    EXPECT_TRUE(set.failed.empty());
    EXPECT_TRUE(m_log.Has(1, L"Erase the failure counter, metrics count: 1"));
    EXPECT_EQ(values.back().key, L"rtt");

    // A later update brings it back.
    AddCounter(set, Definition(kVexel, L"Latency", L"Session ID: 3; (main)", L"latency", 4));
    EXPECT_EQ(set.counters.size(), 2u);
}

TEST_F(CounterSetTest, RemovalFailureStillErasesTheCounter) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 1)"));
    PerfCounterSet set;
    AddCounter(set, Definition(kVexel, L"Latency", L"Session ID: 3; (main)", L"latency", 4));
    std::vector<CounterReading> readings;
    ASSERT_TRUE(CollectReadings(set, readings));
    FailCall("PdhRemoveCounter", 0xC0000BBC);
    ASSERT_TRUE(CollectReadings(set, readings));
    EXPECT_TRUE(readings.empty());
    EXPECT_TRUE(set.counters.empty());
    EXPECT_EQ(m_log.Messages().end()[-3], L"Failed to remove counter, error: 0xc0000bbc");
    EXPECT_EQ(m_log.Messages().end()[-2],
              L"Failed to remove perf counter \\Pallido Vexel Session Counters(Session ID: 3; "
              L"(main))\\Latency");
    EXPECT_EQ(m_log.Messages().back(), L"Erase the failure counter, metrics count: 0");
}

TEST_F(CounterSetTest, OpenAndAddFailuresLeaveTheSetUnchanged) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 1)"));
    PerfCounterSet set;
    FailCall("PdhOpenQueryW", 0xC0000BBB);
    AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4));
    EXPECT_TRUE(m_log.Has(4, L"Failed to open perf query, error: 0xc0000bbb"));
    EXPECT_FALSE(set.query);
    EXPECT_TRUE(set.counters.empty());

    AddCounter(set, Definition(kVexel, L"Jitter", L"Session ID: 3; (main)", L"jitter", 4));
    EXPECT_TRUE(m_log.Has(4,
                          L"Failed to add counter \\Pallido Vexel Session Counters(Session ID: 3; "
                          L"(main))\\Jitter, error: 0xc0000bb9"));
    AddCounter(set, Definition(L"No Such Object", L"RTT", L"", L"rtt", 4));
    EXPECT_TRUE(m_log.Has(4, L"Failed to add counter \\No Such Object\\RTT, error: 0xc0000bb8"));
    EXPECT_TRUE(set.query);  // the second add opened it
    EXPECT_TRUE(set.counters.empty());
}

TEST_F(CounterSetTest, DestroyingTheSetClosesItsQuery) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", VexelFile(R"("RTT": 1)"));
    const size_t handles = OpenHandleCount().value();
    const uint64_t closes = Calls("PdhCloseQuery");
    const uint64_t removals = Calls("PdhRemoveCounter");
    {
        PerfCounterSet set;
        AddCounter(set, Definition(kVexel, L"RTT", L"Session ID: 3; (main)", L"rtt", 4));
        AddCounter(set, Definition(kVexel, L"Latency", L"Session ID: 3; (main)", L"latency", 4));
        EXPECT_EQ(OpenHandleCount(), handles + 3);
    }
    EXPECT_EQ(Calls("PdhCloseQuery"), closes + 1);
    EXPECT_EQ(Calls("PdhRemoveCounter"), removals);  // closing the query releases them
    EXPECT_EQ(OpenHandleCount(), handles);
}

// Against the system's own PDH, which every build has: the processor time, and a counter the
// object does not have.
TEST_F(CounterSetTest, ReadsTheSystemsProcessorTime) {
    PerfCounterSet set;
    AddCounter(set, Definition(L"Processor", L"% Processor Time", L"_Total", L"cpu", 2));
    AddCounter(set, Definition(L"Processor", L"No Such Counter", L"_Total", L"none"));
    EXPECT_TRUE(m_log.Has(
        4, L"Failed to add counter \\Processor(_Total)\\No Such Counter, error: 0xc0000bb9"));
    EXPECT_EQ(Paths(set), (std::vector<std::wstring>{L"\\Processor(_Total)\\% Processor Time"}));

    // A rate: it reads once the system's tick counts have moved between two collections.
    std::vector<MetricValue> values;
    ASSERT_TRUE(WaitUntil([&] {
        values.clear();
        return CollectValues(set, values) && !values.empty();
    }));
    ASSERT_EQ(Keys(values), (std::vector<std::wstring>{L"cpu"}));
    EXPECT_GE(values[0].value, 0.0);
    EXPECT_LE(values[0].value, 100.0);
    EXPECT_EQ(values[0].category, 2u);
}

}  // namespace
}  // namespace dorn::test
