// Applying tables to a counter set: the probe, the session gate, wildcard expansion and its
// names, repeated updates, and the tables themselves.
#include "CounterTables.h"
#include "FaultInjection.h"
#include "CountersFixture.h"

namespace dorn::test {
namespace {

std::string PcoipFile(const std::string& extraInstance = "") {
    return R"j({"objects": [
        {"name": "PCoIP Session General Statistics", "counters": ["Bytes Sent", "Bytes Received"],
         "instances": {"PCoIP Session 3 alice": {"Bytes Sent": 5, "Bytes Received": 6})j" +
           extraInstance + R"j(}},
        {"name": "Pallido Vexel Session Counters", "counters": ["RTT"],
         "instances": {"Session ID: 3; (main)": {"RTT": 12.7}, "Session ID: 4; (main)": {"RTT": 30}}},
        {"name": "PCoIP Session Network Statistics", "counters": ["Round Trip Latency ms"],
         "instances": {"PCoIP Session 3 alice": {"Round Trip Latency ms": 41}}}]})j";
}

class CounterSetUpdateTest : public CountersTest {
  protected:
    size_t AddLines() const {
        size_t lines = 0;
        for (const std::wstring& message : m_log.Messages())
            lines += message.rfind(L"Add counter: ", 0) == 0;
        return lines;
    }
};

TEST_F(CounterSetUpdateTest, WildcardRowsBecomeOneCounterPerCounterAndInstance) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", PcoipFile());
    SetFakeSessions({{3, L"alice", WTSActive, L""}});
    PerfCounterSet set;
    UpdateCounterSet(
        set,
        {Definition(L"PCoIP Session General Statistics", L"*", L"*", L"", 8, 1000, true),
         Definition(L"Pallido Vexel Session Counters", L"RTT", L"*", L"vexel_latency", 4),
         Definition(L"Pallido Vexel Session Counters", L"*", L"Session ID: 9; (main)", L"", 4)});

    std::vector<MetricValue> values;
    ASSERT_TRUE(CollectValues(set, values));
    EXPECT_EQ(Keys(values),
              (std::vector<std::wstring>{
                  L"PCoIP Session General Statistics|Bytes Received|PCoIP Session 3 alice",
                  L"PCoIP Session General Statistics|Bytes Sent|PCoIP Session 3 alice",
                  L"vexel_latency", L"vexel_latency"}));
    EXPECT_DOUBLE_EQ(values[0].value, 6.0);  // expanded rows get scale 1, not 1000
    EXPECT_DOUBLE_EQ(values[2].value + values[3].value, 42.7);
    EXPECT_EQ(
        m_log.Messages()[0],
        L"Add counter: PCoIP Session General Statistics, Bytes Sent, PCoIP Session 3 alice, "
        L"metric: "
        L"PCoIP Session General Statistics|Bytes Sent|PCoIP Session 3 alice, metrics count: 1");
    EXPECT_EQ(AddLines(), 4u);  // the instance nobody reports adds nothing

    // Again: nothing new. Then a session appears: only its counters are added.
    const std::vector<PerfCounterDefinition> table = {
        Definition(L"PCoIP Session General Statistics", L"*", L"*", L"", 8, 1, true)};
    UpdateCounterSet(set, table);
    EXPECT_EQ(AddLines(), 4u);
    m_files.Replace("counters.json", PcoipFile(R"(, "PCoIP Session 5 bob": {"Bytes Sent": 1})"));
    UpdateCounterSet(set, table);
    EXPECT_EQ(AddLines(), 6u);
    EXPECT_EQ(set.counters.size(), 6u);
}

TEST_F(CounterSetUpdateTest, SessionRowsWaitForAnActiveSessionAndThenNeverAskAgain) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", PcoipFile());
    std::vector<PerfCounterDefinition> latency;
    AddSessionLatencyCounters(latency);
    SetFakeSessions({{1, L"carol", WTSDisconnected, L""}, {2, L"", WTSListen, L""}});
    PerfCounterSet set;
    uint64_t enumerations = Calls("WTSEnumerateSessionsW");

    UpdateCounterSet(set, latency);
    EXPECT_TRUE(set.counters.empty());
    EXPECT_EQ(Calls("WTSEnumerateSessionsW"), enumerations + 2);  // one per session row
    EXPECT_FALSE(ActiveSessionSeen);

    FailCall("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED);
    UpdateCounterSet(set, latency);
    EXPECT_EQ(m_log.Count(4, L"Error to enumerate sessions, error code is 0x5"), 1u);
    EXPECT_TRUE(set.counters.empty());

    SetFakeSessions({{1, L"carol", WTSDisconnected, L""}, {3, L"alice", WTSActive, L""}});
    enumerations = Calls("WTSEnumerateSessionsW");
    UpdateCounterSet(set, latency);
    EXPECT_EQ(set.counters.size(), 3u);  // two Vexel instances, one PCoIP instance
    EXPECT_EQ(Calls("WTSEnumerateSessionsW"), enumerations + 1);
    EXPECT_TRUE(ActiveSessionSeen);

    SetFakeSessions({});
    UpdateCounterSet(set, latency);
    EXPECT_EQ(Calls("WTSEnumerateSessionsW"), enumerations + 1);
}

TEST_F(CounterSetUpdateTest, TheProbeRunsOnEveryUpdateInAQueryOfItsOwn) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoPdhCallCounts;
    const uint64_t opens = Calls("PdhOpenQueryW");
    const uint64_t closes = Calls("PdhCloseQuery");
    const uint64_t collections = Calls("PdhCollectQueryData");
    PerfCounterSet set;
    UpdateCounterSet(set, {});
    EXPECT_EQ(Calls("PdhOpenQueryW"), opens + 1);
    EXPECT_EQ(Calls("PdhCollectQueryData"), collections + 1);
    EXPECT_EQ(Calls("PdhCloseQuery"), closes + 1);
    EXPECT_FALSE(set.query);
    EXPECT_TRUE(m_log.Messages().empty());

    // A probe that cannot be added warns and the update goes on.
    FailCall("PdhAddCounterW", 0xC0000BB8);
    UpdateCounterSet(set, {Definition(L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk")});
    EXPECT_EQ(
        m_log.Messages(),
        (std::vector<std::wstring>{
            L"Failed to add counter \\Processor(_Total)\\% User Time, error: 0xc0000bb8",
            L"Perf Counter update, failed to add counter",
            L"Add counter: PhysicalDisk, % Disk Time, _Total, metric: disk, metrics count: 1"}));
    EXPECT_EQ(m_log.Records()[1].level, 3);
}

TEST_F(CounterSetUpdateTest, ObjectsThatCannotBeListedAddNothing) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Publish("counters.json", PcoipFile());
    PerfCounterSet set;
    UpdateCounterSet(set, {Definition(L"No Such Object", L"*", L"*", L"")});
    FailCall("PdhEnumObjectItemsW", 0xC0000BBB, 1);
    UpdateCounterSet(set, {Definition(L"Pallido Vexel Session Counters", L"RTT", L"*", L"rtt", 4)});
    EXPECT_EQ(
        m_log.Messages(),
        (std::vector<std::wstring>{
            L"Failed to list counters for object No Such Object, error: 0xc0000bb8",
            L"Failed to extend counter: No Such Object",
            L"Failed to list counters for object Pallido Vexel Session Counters, error: 0xc0000bbb",
            L"Failed to extend counter: Pallido Vexel Session Counters"}));
    for (const auto& record : m_log.Records()) EXPECT_EQ(record.level, 3);
    EXPECT_TRUE(set.counters.empty());
}

// Against the system's own PDH, which every build has: a named counter is added once, however
// often the table is applied.
TEST_F(CounterSetUpdateTest, AddsTheSystemsOwnCountersOnce) {
    const std::vector<PerfCounterDefinition> table = {
        Definition(L"Processor", L"% Processor Time", L"_Total", L"cpu")};
    PerfCounterSet set;
    UpdateCounterSet(set, table);
    UpdateCounterSet(set, table);
    EXPECT_EQ(Paths(set), (std::vector<std::wstring>{L"\\Processor(_Total)\\% Processor Time"}));
    EXPECT_EQ(AddLines(), 1u);
    EXPECT_TRUE(m_log.Has(
        1, L"Add counter: Processor, % Processor Time, _Total, metric: cpu, metrics count: 1"));
}

}  // namespace
}  // namespace dorn::test
