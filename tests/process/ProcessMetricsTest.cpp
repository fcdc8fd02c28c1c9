// The "ProcessMetrics" operation: the reply's layout and order, real shares over one second,
// and the session filters.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>

#include <chrono>
#include <thread>

#include "process/ProcessMetrics.h"
#include "process/ProcessRecords.h"
#include "process/ProcessSnapshot.h"
#include "tests/process/ProcessTestSupport.h"

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

ProcessList SessionList() {
    ProcessList list;
    list.timestamp = 1234;
    for (uint32_t session : {0u, 1u, 2u, 2u, 3u}) {
        ProcessRecord record;
        record.processId = static_cast<uint32_t>(list.records.size() + 100);
        record.sessionId = session;
        list.records.push_back(record);
    }
    return list;
}

std::vector<int64_t> Ids(const CORE::PropertyBag& bag) {
    std::vector<int64_t> ids;
    for (const CORE::PropertyBag& process : Processes(bag)) ids.push_back(process.getInt64(L"id"));
    return ids;
}

CORE::PropertyBag Filter(const wchar_t* value) {
    CORE::PropertyBag filter;
    filter.add(L"processSessionFilter", value);
    return filter;
}

TEST(ProcessMetrics, ListsThisMachinesProcessesOldestFirstWithTheirShares) {
    // A child that keeps one processor busy for the whole measured second.
    TestChild spinner("/bin/sh", {"-c", "while :; do :; done"});
    const int64_t before = NowMs();
    CORE::PropertyBag request;
    CORE::PropertyBag reply;
    ASSERT_TRUE(HandleProcessMetrics(request, reply));
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

    const CORE::PropertyBag* self = ById(processes, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->get(L"user_name"), CurrentUserName());
    EXPECT_GT(self->getInt64(L"mem", 0), 0);
    const CORE::PropertyBag* spin = ById(processes, spinner.Pid());
    ASSERT_NE(spin, nullptr);
    EXPECT_EQ(spin->get(L"name"), L"dash");
    // It got some of the machine: how much depends on who else shares the processors.
    EXPECT_GT(spin->getInt64(L"cpu", 0), 0);
    EXPECT_LE(spin->getInt64(L"cpu", 0), 100 / sysconf(_SC_NPROCESSORS_ONLN) + 1);
}

TEST(ProcessMetrics, SharesNeverExceedTheMachinesBusyShare) {
    TestChild spinner("/bin/sh", {"-c", "while :; do :; done"});
    ProcessMap first;
    ProcessMap second;
    uint64_t total1 = 0, idle1 = 0, total2 = 0, idle2 = 0;
    ASSERT_TRUE(QueryProcessorTimes(total1, idle1));
    ASSERT_TRUE(TakeProcessSnapshot(first));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(QueryProcessorTimes(total2, idle2));
    ASSERT_TRUE(TakeProcessSnapshot(second));
    ProcessList list;
    ComputeProcessRecords(first, second, static_cast<int64_t>(total2 - total1), list);
    int64_t sum = 0;
    uint32_t spinning = 0;
    for (const ProcessRecord& record : list.records) {
        sum += record.cpu;
        if (record.processId == static_cast<uint32_t>(spinner.Pid())) spinning = record.cpu;
    }
    const int64_t busy = 100 - static_cast<int64_t>((idle2 - idle1) * 100 / (total2 - total1));
    // Truncation loses up to one point per busy process; processes that ended in the second,
    // interrupts and other containers sharing the processors count as busy but belong to no
    // listed process: only the upper bound holds everywhere.
    EXPECT_LE(sum, busy + 5);
    EXPECT_GT(spinning, 0u);
    EXPECT_LE(static_cast<int64_t>(spinning), busy + 1);
}

TEST(ProcessMetrics, ProcessStartedDuringTheSecondHasNoShareYet) {
    std::unique_ptr<TestChild> late;
    std::thread starter([&late] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        late = std::make_unique<TestChild>("/bin/sh",
                                           std::vector<std::string>{"-c", "while :; do :; done"});
    });
    CORE::PropertyBag request;
    CORE::PropertyBag reply;
    const bool handled = HandleProcessMetrics(request, reply);
    starter.join();
    ASSERT_TRUE(handled);
    ASSERT_TRUE(late && late->Pid() > 0);
    const auto processes = Processes(reply.getBag(L"processMetrics"));
    const CORE::PropertyBag* fresh = ById(processes, late->Pid());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->getInt64(L"cpu", -1), 0);
    EXPECT_EQ(fresh->getInt64(L"disk", -1), 0);
}

TEST(ProcessMetrics, SessionFilters) {
    LogCapture log;
    const ProcessList list = SessionList();
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
        CORE::PropertyBag out;
        EXPECT_TRUE(FilterProcessesBySession(
            list, c.session, c.filter ? Filter(c.filter) : CORE::PropertyBag(), out));
        EXPECT_EQ(Ids(out), c.ids) << c.session << " " << (c.filter ? c.filter : L"(none)");
    }
    EXPECT_TRUE(log.Records().empty());

    CORE::PropertyBag out;
    EXPECT_FALSE(FilterProcessesBySession(list, 2, Filter(L"current_user_session"), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.Count(4, L"Process session filter: current_user_session is invalid"), 1u);
}

TEST(ProcessMetrics, RequestFailures) {
    LogCapture log;
    CORE::PropertyBag request;
    request.addInt(L"SESSIONID", 2);
    CORE::PropertyBag filter = Filter(L"EVERY_SESSION");
    request.addBag(L"processFilter", filter, false);
    CORE::PropertyBag reply;
    EXPECT_FALSE(HandleProcessMetrics(request, reply));
    EXPECT_EQ(reply.getErrorText(), L"Failed to filter process by session");
    EXPECT_FALSE(reply.contains(L"processMetrics"));
    EXPECT_TRUE(log.Has(4, L"Process session filter: EVERY_SESSION is invalid"));

    // A session with no processes: the reply holds only the timestamp.
    CORE::PropertyBag lonely;
    lonely.addInt(L"SESSIONID", 424242);
    CORE::PropertyBag current = Filter(L"CURRENT_USER_SESSION");
    lonely.addBag(L"processFilter", current, false);
    CORE::PropertyBag lonelyReply;
    ASSERT_TRUE(HandleProcessMetrics(lonely, lonelyReply));
    const CORE::PropertyBag metrics = lonelyReply.getBag(L"processMetrics");
    ASSERT_EQ(metrics.size(), 1u);
    EXPECT_EQ(metrics.keyAt(0), L"timestamp");

    CORE::PropertyBag failed;
    winport::testing::FailCall("NtQuerySystemInformation", 0xC0000017, 2);
    EXPECT_FALSE(HandleProcessMetrics(CORE::PropertyBag(), failed));
    winport::testing::ClearFailures();
    EXPECT_EQ(failed.getErrorText(), L"Failed to handle process performance request");
    EXPECT_FALSE(failed.contains(L"processMetrics"));
}

}  // namespace
}  // namespace dorn::test
