// The "ProcessMetrics" operation: the reply's layout and order, real shares over one second,
// and the session filters.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "ProcessMetrics.h"
#include "Bags.h"
#include "FaultInjection.h"
#include "LogCapture.h"
#include "TestProcesses.h"

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

const char* const kProcessShape = R"({"id": "int64", "create_time": "int64", "name": "text",
    "cpu": "int64", "mem": "int64", "disk": "int64", "user_name": "text", "session_id": "int32"})";

TEST(ProcessMetrics, ListsThisMachinesProcessesOldestFirstAfterOneSecond) {
    TestChild spinner(Spinner());
    const int64_t before = NowMs();
    const auto start = std::chrono::steady_clock::now();
    // Without "SESSIONID" (-1) the filter is not examined: every process is listed.
    CORE::PropertyBag request = Request(0, L"EVERY_SESSION");
    request.remove(L"SESSIONID");
    CORE::PropertyBag reply;
    ASSERT_TRUE(HandleProcessMetrics(request, reply));
    // The measured second is a wait of 1000 ms between the two readings (Windows may end a
    // wait up to one 15.6 ms timer tick early).
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(HasLinuxApiLayer() ? 1000 : 1000 - 16));
    EXPECT_FALSE(reply.isError());
    EXPECT_EQ(KeysOf(reply), std::vector<std::wstring>{L"processMetrics"});
    const CORE::PropertyBag metrics = reply.getBag(L"processMetrics");
    const std::vector<CORE::PropertyBag> processes = Processes(metrics);
    ASSERT_GT(processes.size(), 2u);
    const int64_t timestamp = metrics.getInt64(L"timestamp", 0);
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, NowMs());
    // The process bags, then the timestamp.
    EXPECT_EQ(metrics.size(), processes.size() + 1);
    EXPECT_EQ(metrics.keyAt(0), L"process");
    EXPECT_EQ(metrics.keyAt(metrics.size() - 1), L"timestamp");

    int64_t cpuSum = 0;
    for (size_t i = 0; i < processes.size(); ++i) {
        ASSERT_EQ(Shape(processes[i]), ShapeOf(kProcessShape));
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
    const CORE::PropertyBag* spin = ById(processes, spinner.Pid());
    ASSERT_NE(spin, nullptr);
    EXPECT_EQ(spin->get(L"name"), ImageName(Spinner().path));
}

TEST(ProcessMetrics, WithinTheMeasuredIntervalEndedProcessesGoAndNewOnesHaveNoShareYet) {
    auto ending = std::make_unique<TestChild>(Sleeper());
    const DWORD endingPid = ending->Pid();
    std::unique_ptr<TestChild> late;
    ProcessList list;
    ASSERT_TRUE(SampleProcesses(list, [&] {
        ending.reset();  // ended and reaped
        late = std::make_unique<TestChild>(Sleeper());
    }));
    auto record = [&list](DWORD pid) -> const ProcessRecord* {
        auto found = std::find_if(list.records.begin(), list.records.end(),
                                  [pid](const ProcessRecord& r) { return r.processId == pid; });
        return found == list.records.end() ? nullptr : &*found;
    };
    EXPECT_TRUE(record(endingPid) == nullptr || endingPid == late->Pid());  // or its id reused
    ASSERT_NE(record(late->Pid()), nullptr);
    EXPECT_EQ(record(late->Pid())->cpu, 0u);
    EXPECT_EQ(record(late->Pid())->disk, 0u);

    // A process busy through the interval has a share: this one burns 20 ms, measuring again
    // while the scheduler kept it from the processors.
    uint32_t ownShare = 0;
    for (int attempt = 0; attempt < 20 && ownShare == 0; ++attempt) {
        ProcessList busy;
        ASSERT_TRUE(SampleProcesses(busy, [] { BurnOwnProcessorTime(200000); }));
        for (const ProcessRecord& r : busy.records) {
            if (r.processId == GetCurrentProcessId()) ownShare = r.cpu;
        }
    }
    EXPECT_GT(ownShare, 0u);
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
}

TEST(ProcessMetrics, ProcessBagsKeepEveryBitOfTheirWidths) {
    // Unsigned 32-bit values widen without sign to 64-bit entries; the session id is a 32-bit
    // entry, so all bits set reads back as -1.
    const ProcessRecord widest{0xFFFFFFFF, -11644473600, 0xFFFFFFFF, 0xFFFFFFFE,
                               0xFFFFFFFD, 0xFFFFFFFF,   L"n",       L"u"};
    const ProcessRecord small{4, -5, 1, 2, 3, 0x7FFFFFFF, L"", L""};
    CORE::PropertyBag out;
    AddProcessBags({widest, small}, out);
    EXPECT_EQ(Shape(out), ShapeOf(std::string(R"({"process": [)") + kProcessShape + ", " +
                                  kProcessShape + "]}"));
    EXPECT_EQ(Json(out), ShapeOf(R"({"process": [
        {"id": 4294967295, "create_time": -11644473600, "name": "n", "cpu": 4294967295,
         "mem": 4294967294, "disk": 4294967293, "user_name": "u", "session_id": -1},
        {"id": 4, "create_time": -5, "name": "", "cpu": 1, "mem": 2, "disk": 3, "user_name": "",
         "session_id": 2147483647}]})"));
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
    EXPECT_EQ(Shape(lonely), ShapeOf(R"({"processMetrics": {"timestamp": "int64"}})"));
}

TEST(ProcessMetrics, MeasurementThatFails) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    CORE::PropertyBag failed;
    FailCall("NtQuerySystemInformation", 0xC0000017, 2);
    EXPECT_FALSE(HandleProcessMetrics(CORE::PropertyBag(), failed));
    ForgetInjectedFaults();
    EXPECT_EQ(failed.getErrorText(), L"Failed to handle process performance request");
    EXPECT_FALSE(failed.contains(L"processMetrics"));
}

}  // namespace
}  // namespace dorn::test
