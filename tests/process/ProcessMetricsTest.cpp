// The "ProcessMetrics" operation: the reply's layout and order, real shares over one second,
// and the session filters.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "process/ProcessMetrics.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/support/FaultInjection.h"

namespace dorn::test {
namespace {

std::vector<CORE::PropertyBag> Processes(const CORE::PropertyBag& metrics) {
    std::vector<CORE::PropertyBag> processes;
    CORE::PropertyBag process;
    for (size_t position = metrics.getNextBag(L"process", process, 0); position != 0;
         position = metrics.getNextBag(L"process", process, position)) {
        processes.push_back(process);
    }
    return processes;
}

const CORE::PropertyBag* ById(const std::vector<CORE::PropertyBag>& processes, int64_t pid) {
    for (const CORE::PropertyBag& process : processes) {
        if (process.getInt64(L"id", -1) == pid) return &process;
    }
    return nullptr;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

CORE::PropertyBag Request(int32_t session, const wchar_t* filter) {
    CORE::PropertyBag request;
    request.addInt(L"SESSIONID", session);
    CORE::PropertyBag filterBag;
    filterBag.add(L"processSessionFilter", filter);
    request.addBag(L"processFilter", filterBag, false);
    return request;
}

TEST(ProcessMetrics, ListsThisMachinesProcessesOldestFirstWithTheirShares) {
    // One child keeps a processor busy for the whole measured second; another starts during it.
    TestChild spinner(Spinner());
    std::unique_ptr<TestChild> late;
    std::thread starter([&late] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        late = std::make_unique<TestChild>(Spinner());
    });
    const int64_t before = NowMs();
    CORE::PropertyBag reply;
    const bool handled = HandleProcessMetrics(CORE::PropertyBag(), reply);
    starter.join();
    ASSERT_TRUE(handled);
    EXPECT_FALSE(reply.isError());
    const CORE::PropertyBag metrics = reply.getBag(L"processMetrics");
    const std::vector<CORE::PropertyBag> processes = Processes(metrics);
    ASSERT_GT(processes.size(), 2u);
    const int64_t timestamp = metrics.getInt64(L"timestamp", 0);
    EXPECT_GE(timestamp, before + 900);
    EXPECT_LE(timestamp, NowMs());
    EXPECT_EQ(metrics.keyAt(metrics.size() - 1), L"timestamp");

    const std::vector<std::wstring> keys = {L"id",  L"create_time", L"name",      L"cpu",
                                            L"mem", L"disk",        L"user_name", L"session_id"};
    int64_t cpuSum = 0;
    for (size_t i = 0; i < processes.size(); ++i) {
        ASSERT_EQ(processes[i].size(), keys.size());
        for (size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(processes[i].keyAt(k), keys[k]);
        EXPECT_NE(processes[i].getInt64(L"id", 0), 0);  // never the idle process
        cpuSum += processes[i].getInt64(L"cpu", 0);
        if (i > 0) {
            EXPECT_LE(processes[i - 1].getInt64(L"create_time"),
                      processes[i].getInt64(L"create_time"));
        }
    }
    // Shares of the machine, each truncated: together at most the whole machine.
    EXPECT_LE(cpuSum, 100 + static_cast<int64_t>(processes.size()) / 50);

    const std::wstring system = SystemProcessName();  // a process the test did not start
    EXPECT_TRUE(std::any_of(processes.begin(), processes.end(), [&](const auto& process) {
        return process.get(L"name") == system;
    })) << system;
    const CORE::PropertyBag* self = ById(processes, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->get(L"user_name"), CurrentUserName());
    const CORE::PropertyBag* fresh = ById(processes, late ? late->Pid() : 0);
    ASSERT_NE(fresh, nullptr);  // no previous reading: no share yet
    EXPECT_EQ(fresh->getInt64(L"cpu", -1), 0);
    EXPECT_EQ(fresh->getInt64(L"disk", -1), 0);
    const CORE::PropertyBag* spin = ById(processes, spinner.Pid());
    ASSERT_NE(spin, nullptr);
    EXPECT_EQ(spin->get(L"name"), ImageName(Spinner().path));
    // It got some of the machine: how much depends on who else shares the processors.
    EXPECT_GT(spin->getInt64(L"cpu", 0), 0);
    EXPECT_LE(spin->getInt64(L"cpu", 0), 100 / std::thread::hardware_concurrency() + 1);
}

TEST(ProcessMetrics, SessionFiltersAndTheProcessBags) {
    LogCapture log;
    ProcessList list;
    for (uint32_t session : {0u, 1u, 2u, 2u, 3u}) {
        const uint32_t id = static_cast<uint32_t>(list.records.size() + 100);
        list.records.push_back({id, -5, id + 1, id + 2, id + 3, session, L"n", L"u"});
    }
    struct Case {
        int32_t session;
        const wchar_t* filter;  // null: no "processFilter" bag
        std::vector<int64_t> ids;
    };
    const Case cases[] = {
        {-1, L"anything at all", {100, 101, 102, 103, 104}},  // no session: not examined
        {2, nullptr, {100, 101, 102, 103, 104}},
        {2, L"", {100, 101, 102, 103, 104}},
        {2, L"CURRENT_USER_SESSION", {102, 103}},
        {2, L"SYSTEM_AND_CURRENT_USER_SESSION", {100, 102, 103}},
        {0, L"SYSTEM_AND_CURRENT_USER_SESSION", {100}},
        {7, L"CURRENT_USER_SESSION", {}},
    };
    for (const Case& c : cases) {
        const CORE::PropertyBag filter =
            c.filter ? Request(c.session, c.filter).getBag(L"processFilter") : CORE::PropertyBag();
        CORE::PropertyBag out;
        EXPECT_TRUE(FilterProcessesBySession(list, c.session, filter, out));
        std::vector<int64_t> ids;
        for (const CORE::PropertyBag& process : Processes(out)) {
            ids.push_back(process.getInt64(L"id"));
        }
        EXPECT_EQ(ids, c.ids) << c.session << " " << (c.filter ? c.filter : L"(none)");
    }
    EXPECT_TRUE(log.Records().empty());
    CORE::PropertyBag out;
    EXPECT_FALSE(FilterProcessesBySession(
        list, 2, Request(2, L"current_user_session").getBag(L"processFilter"), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.Count(4, L"Process session filter: current_user_session is invalid"), 1u);

    AddProcessBags({list.records[4]}, out);
    const CORE::PropertyBag bag = Processes(out).at(0);
    EXPECT_EQ(bag.getInt64(L"id"), 104);
    EXPECT_EQ(bag.getInt64(L"create_time"), -5);
    EXPECT_EQ(bag.get(L"name"), L"n");
    EXPECT_EQ(bag.getInt64(L"cpu"), 105);
    EXPECT_EQ(bag.getInt64(L"mem"), 106);
    EXPECT_EQ(bag.getInt64(L"disk"), 107);
    EXPECT_EQ(bag.get(L"user_name"), L"u");
    EXPECT_EQ(bag.getInt(L"session_id"), 3);
}

TEST(ProcessMetrics, FilterThatIsInvalidOrMatchesNothing) {
    LogCapture log;
    CORE::PropertyBag reply;
    EXPECT_FALSE(HandleProcessMetrics(Request(2, L"EVERY_SESSION"), reply));
    EXPECT_EQ(reply.getErrorText(), L"Failed to filter process by session");
    EXPECT_FALSE(reply.contains(L"processMetrics"));
    EXPECT_TRUE(log.Has(4, L"Process session filter: EVERY_SESSION is invalid"));

    // A session with no processes: the reply holds only the timestamp.
    CORE::PropertyBag lonely;
    ASSERT_TRUE(HandleProcessMetrics(Request(424242, L"CURRENT_USER_SESSION"), lonely));
    const CORE::PropertyBag metrics = lonely.getBag(L"processMetrics");
    ASSERT_EQ(metrics.size(), 1u);
    EXPECT_EQ(metrics.keyAt(0), L"timestamp");
}

TEST(ProcessMetrics, MeasurementThatFails) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    CORE::PropertyBag failed;
    FailCall("NtQuerySystemInformation", 0xC0000017, 2);
    EXPECT_FALSE(HandleProcessMetrics(CORE::PropertyBag(), failed));
    ClearInjectedFaults();
    EXPECT_EQ(failed.getErrorText(), L"Failed to handle process performance request");
    EXPECT_FALSE(failed.contains(L"processMetrics"));
}

}  // namespace
}  // namespace dorn::test
