// winport's PDH as a caller on Windows relies on it: size protocols, statuses, paths, formats,
// injected failures, and queries used from several threads at once.
#include <atomic>
#include <thread>

#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include "UniqueHandle.h"
#include "CountersFixture.h"

namespace dorn::test {
namespace {

const char* const kFile = R"j({"objects": [
    {"name": "Pallido Vexel Session Counters", "counters": ["RTT", "Packet Loss (Uplink)"],
     "instances": {"Session ID: 4; (main)": {"RTT": -3},
                   "Session ID: 3; (main)": {"RTT": 12.7, "Packet Loss (Uplink)": 150.5}}},
    {"name": "Pallido Broker (Primary)", "counters": ["Logons"], "values": {"Logons": 7}}]})j";

class PdhApiTest : public CountersTest {
  protected:
    PdhApiTest() { Publish("counters.json", kFile); }

    PDH_STATUS Add(const wchar_t* path, HCOUNTER& counter) {
        if (!m_query) {
            EXPECT_EQ(PdhOpenQueryW(nullptr, 0, m_query.put()), ERROR_SUCCESS);
        }
        return PdhAddCounterW(m_query.get(), path, 0, &counter);
    }

    static PDH_STATUS Read(HCOUNTER counter, double& value, DWORD format = PDH_FMT_DOUBLE) {
        PDH_FMT_COUNTERVALUE formatted{};
        const PDH_STATUS status = PdhGetFormattedCounterValue(counter, format, nullptr, &formatted);
        value = formatted.doubleValue;
        return status;
    }

    UniquePdhQuery m_query;
};

PDH_STATUS Status(DWORD code) {
    return static_cast<PDH_STATUS>(code);
}

TEST_F(PdhApiTest, PathsNameObjectsCountersAndInstances) {
    HCOUNTER rtt = nullptr, loss = nullptr, logons = nullptr, gone = nullptr;
    ASSERT_EQ(Add(L"\\Pallido Vexel Session Counters(Session ID: 3; (main))\\RTT", rtt),
              ERROR_SUCCESS);
    ASSERT_EQ(Add(L"\\\\localhost\\pallido vexel session counters(session id: 3; (MAIN))\\Packet "
                  L"Loss (Uplink)",
                  loss),
              ERROR_SUCCESS);
    ASSERT_EQ(Add(L"\\Pallido Broker (Primary)\\Logons", logons), ERROR_SUCCESS);
    ASSERT_EQ(Add(L"\\Pallido Vexel Session Counters(Session ID: 9; (main))\\RTT", gone),
              ERROR_SUCCESS);
    // An unknown object or counter, with its status: CounterSetTest. The plug-in builds only
    // local, well-formed paths.

    double value = 0;
    EXPECT_EQ(Read(rtt, value), Status(PDH_INVALID_DATA));  // not collected yet
    ASSERT_EQ(PdhCollectQueryData(m_query.get()), ERROR_SUCCESS);
    ASSERT_EQ(Read(rtt, value), ERROR_SUCCESS);
    EXPECT_DOUBLE_EQ(value, 12.7);
    ASSERT_EQ(Read(loss, value), ERROR_SUCCESS);
    EXPECT_DOUBLE_EQ(value, 150.5);  // published values are not capped
    ASSERT_EQ(Read(logons, value), ERROR_SUCCESS);
    EXPECT_DOUBLE_EQ(value, 7.0);

    PDH_FMT_COUNTERVALUE formatted{};
    EXPECT_EQ(PdhGetFormattedCounterValue(gone, PDH_FMT_DOUBLE, nullptr, &formatted),
              Status(PDH_INVALID_DATA));
    EXPECT_EQ(formatted.CStatus, PDH_CSTATUS_NO_INSTANCE);
    EXPECT_EQ(PdhGetFormattedCounterValue(rtt, PDH_FMT_DOUBLE, nullptr, nullptr),
              Status(PDH_INVALID_ARGUMENT));
}

// Closing a query releases its counters: CounterSetTest.
TEST_F(PdhApiTest, ListsAndNamesFollowTheSizeProtocol) {
    DWORD counters = 0, instances = 0;
    const wchar_t* object = L"Pallido Vexel Session Counters";
    ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, object, nullptr, &counters, nullptr, &instances,
                                  PERF_DETAIL_WIZARD, 0),
              Status(PDH_MORE_DATA));
    const std::wstring counterList(L"RTT\0Packet Loss (Uplink)\0\0", 26);
    // In the order of the file.
    const std::wstring instanceList(L"Session ID: 4; (main)\0Session ID: 3; (main)\0\0", 45);
    EXPECT_EQ(counters, counterList.size());
    EXPECT_EQ(instances, instanceList.size());
    std::vector<wchar_t> counterBuffer(counters, L'#'), instanceBuffer(instances, L'#');
    DWORD tooShort = instances - 1;
    EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, object, counterBuffer.data(), &counters,
                                  instanceBuffer.data(), &tooShort, PERF_DETAIL_WIZARD, 0),
              Status(PDH_MORE_DATA));
    EXPECT_EQ(tooShort, instances);
    ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, object, counterBuffer.data(), &counters,
                                  instanceBuffer.data(), &instances, PERF_DETAIL_WIZARD, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(counterBuffer.begin(), counterBuffer.end()), counterList);
    EXPECT_EQ(std::wstring(instanceBuffer.begin(), instanceBuffer.end()), instanceList);

    counters = instances = 0;
    ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Pallido Broker (Primary)", nullptr, &counters,
                                  nullptr, &instances, PERF_DETAIL_WIZARD, 0),
              Status(PDH_MORE_DATA));
    EXPECT_EQ(instances, 0u);  // an object without instances
    EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Nothing", nullptr, &counters, nullptr,
                                  &instances, PERF_DETAIL_WIZARD, 0),
              Status(PDH_CSTATUS_NO_OBJECT));

    // The lookup of a name by its index: the size asked counts the NUL (the name index's own
    // reads: CounterNameIndexTest).
    winport::testing::SetCounterNameTranslation({{L"Processor", L"Prozessor"}});
    DWORD size = 0;
    ASSERT_EQ(
        PdhLookupPerfNameByIndexW(nullptr, *CounterNameIndex::Find(L"Processor"), nullptr, &size),
        Status(PDH_MORE_DATA));
    EXPECT_EQ(size, 10u);  // "Prozessor" and its NUL
    // In the display language only display names add; the English counter call takes English.
    HCOUNTER counter = nullptr;
    EXPECT_EQ(Add(L"\\Processor(_Total)\\% User Time", counter), Status(PDH_CSTATUS_NO_OBJECT));
    EXPECT_EQ(Add(L"\\Prozessor(_Total)\\% User Time", counter), ERROR_SUCCESS);
    EXPECT_EQ(
        PdhAddEnglishCounterW(m_query.get(), L"\\Processor(_Total)\\% User Time", 0, &counter),
        ERROR_SUCCESS);
}

TEST_F(PdhApiTest, ThreadsUseTheirOwnQueriesAtTheSameTime) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                UniquePdhQuery query;
                HCOUNTER rtt = nullptr, cpu = nullptr;
                if (PdhOpenQueryW(nullptr, 0, query.put()) != ERROR_SUCCESS) return;
                PdhAddCounterW(query.get(),
                               L"\\Pallido Vexel Session Counters(Session ID: 3; (main))\\RTT", 0,
                               &rtt);
                PdhAddCounterW(query.get(), L"\\Processor(_Total)\\% Processor Time", 0, &cpu);
                PdhCollectQueryData(query.get());
                PdhCollectQueryData(query.get());
                PDH_FMT_COUNTERVALUE value{};
                if (PdhGetFormattedCounterValue(rtt, PDH_FMT_DOUBLE, nullptr, &value) ==
                        ERROR_SUCCESS &&
                    value.doubleValue == 12.7 &&
                    PdhGetFormattedCounterValue(cpu, PDH_FMT_DOUBLE, nullptr, &value) ==
                        ERROR_SUCCESS) {
                    ++good;
                }
                PdhRemoveCounter(rtt);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 200);
}

}  // namespace
}  // namespace dorn::test
