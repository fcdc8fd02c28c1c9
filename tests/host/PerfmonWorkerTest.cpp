// The host's performance monitor worker: what it takes from "configPerfmonMetrics" and what it
// pushes to the plug-in's worker, at its own rate, until it is stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "PerfmonWorker.h"
#include "Bags.h"
#include "Waiting.h"

namespace dorn::test {
namespace {

// Stands in for the plug-in's worker and keeps what it is sent.
std::mutex g_pushLock;
std::vector<CORE::PropertyBag> g_pushes;

class PushRecorder : public CORE::WorkItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>& operation,
                        const CORE::PropertyBag& request, CORE::PropertyBag&) override {
        if (operation != L"HelpdeskOperation") return false;
        const std::lock_guard<std::mutex> lock(g_pushLock);
        g_pushes.push_back(request);
        return true;
    }
};

CORE::WorkItem* CreatePushRecorder() {
    return new PushRecorder;
}

size_t PushCount() {
    const std::lock_guard<std::mutex> lock(g_pushLock);
    return g_pushes.size();
}

CORE::PropertyBag Metric(const wchar_t* object, const wchar_t* counter, const wchar_t* name,
                         int32_t scale) {
    CORE::PropertyBag bag;
    bag.add(L"strCounterObject", object);
    bag.add(L"strCounter", counter);
    bag.add(L"strInstance", L"_Total");
    bag.add(L"strMetricName", name);
    bag.addBool(L"bSessionRelated", false);
    bag.addInt(L"dwType", 1);
    bag.addInt(L"dwScale", scale);
    bag.addBool(L"isAdd", true);
    return bag;
}

CORE::PropertyBag Config(const std::vector<CORE::PropertyBag>& metrics) {
    CORE::PropertyBag config;
    config.add(L"plugin_name", L"dorn_helpdesk");
    for (const CORE::PropertyBag& metric : metrics) config.addBag(L"trelPerfmonMetrics", metric);
    return config;
}

TEST(PerfmonWorkerTest, ConfigurationKeepsUsableCountersAndPushesCarryTheReading) {
    const std::vector<MonitoredCounter> counters = ReadMonitoredCounters(
        Config({Metric(L"PhysicalDisk", L"Disk Reads/sec", L"reads", 1),
                Metric(L"", L"Disk Writes/sec", L"writes", 1),
                Metric(L"PhysicalDisk", L"Avg. Disk sec/Transfer", L"latency", 1000),
                Metric(L"PhysicalDisk", L"Disk Transfers/sec", L"", 1),
                Metric(L"PhysicalDisk", L"Disk Transfers/sec", L"io", -4)}));
    ASSERT_EQ(counters.size(), 3u);
    EXPECT_EQ(counters[0].metricName, L"reads");
    EXPECT_EQ(counters[1].metricName, L"latency");
    EXPECT_EQ(counters[1].scale, 1000u);
    EXPECT_EQ(counters[1].instance, L"_Total");
    EXPECT_EQ(counters[2].metricName, L"io");
    EXPECT_EQ(counters[2].scale, 1u);  // a scale below 1 means none

    MonitorReading reading;
    reading.overallCpu = 12;
    reading.overallMem = 34;
    reading.counters = {{L"io", 5}};
    reading.sessions = {{0, {1, 2}}, {3, {4, 5}}};
    EXPECT_EQ(Json(BuildMonitorPush(reading)),
              R"({"opcode": "NewDataFromTrelPerfmon", "overall_cpu": 12, "overall_mem": 34, )"
              R"("io": 5, "sessionCpuMetric": [{"sessionId": 0, "cpu": 1}, )"
              R"({"sessionId": 3, "cpu": 4}], "sessionMemMetric": [{"sessionId": 0, "mem": 2}, )"
              R"({"sessionId": 3, "mem": 5}]})");
}

TEST(PerfmonWorkerTest, PushesAtItsRateOnceConfiguredUntilStopped) {
    CORE::Quillmesh* system = CORE::Quillmesh::System();
    ASSERT_TRUE(
        system->AddWorker(CreatePushRecorder, L"AgentHelpDesk", L"test", true, false, true, false));
    {
        const std::lock_guard<std::mutex> lock(g_pushLock);
        g_pushes.clear();
    }
    PerfmonWorker monitor(std::chrono::milliseconds(200));
    ASSERT_TRUE(monitor.Register());
    ASSERT_TRUE(system->IsWorkerInstalled(L"perfmon", 0));
    const auto send = [&](const wchar_t* operation, const CORE::PropertyBag& request,
                          CORE::PropertyBag& reply) {
        return system->SendMsg(L"perfmon", operation, request, reply, nullptr, nullptr, nullptr,
                               10000, nullptr, nullptr, true, nullptr, nullptr, false);
    };

    CORE::PropertyBag reply;
    EXPECT_EQ(send(L"somethingElse", CORE::PropertyBag(), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorCode(), 120);
    EXPECT_EQ(PushCount(), 0u);  // nothing before the configuration

    CORE::PropertyBag configured;
    ASSERT_EQ(
        send(L"configPerfmonMetrics",
             Config({Metric(L"PhysicalDisk", L"Disk Transfers/sec", L"disk_iops", 1)}), configured),
        CORE::ResponseOk);
    ASSERT_TRUE(WaitUntil([] { return PushCount() >= 2; }));
    monitor.Stop();
    EXPECT_FALSE(system->IsWorkerInstalled(L"perfmon", 0));

    const std::lock_guard<std::mutex> lock(g_pushLock);
    for (const CORE::PropertyBag& push : g_pushes) {
        EXPECT_EQ(push.get(L"opcode"), L"NewDataFromTrelPerfmon");
        EXPECT_GE(push.getInt64(L"overall_cpu", -1), 0);
        EXPECT_LE(push.getInt64(L"overall_cpu", -1), 100);
        EXPECT_GE(push.getInt64(L"overall_mem", -1), 1);
        EXPECT_LE(push.getInt64(L"overall_mem", -1), 100);
        // Every process belongs to a session, so at least one session has values.
        const auto cpu = Bags(push, L"sessionCpuMetric");
        ASSERT_FALSE(cpu.empty());
        EXPECT_EQ(cpu.size(), Bags(push, L"sessionMemMetric").size());
        for (const CORE::PropertyBag& session : cpu) {
            EXPECT_GE(session.getInt(L"sessionId", -1), 0);
            EXPECT_GE(session.getInt64(L"cpu", -1), 0);
            EXPECT_LE(session.getInt64(L"cpu", -1), 100);
        }
    }
    system->RemoveWorker(L"AgentHelpDesk", true);
}

}  // namespace
}  // namespace dorn::test
