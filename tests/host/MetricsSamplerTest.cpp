#include "MetricsSampler.h"

#include <gtest/gtest.h>

#include "Waiting.h"

namespace dorn::test {
namespace {

// Rounds ask "Performance" for the samples since the previous reply's tick; after a refusal
// (as once the tick count has wrapped past that tick) they ask from tick 0 again.
TEST(MetricsSamplerTest, AsksFromTheStartAgainAfterARefusedPerformance) {
    std::mutex lock;
    std::vector<int32_t> ticksAsked;
    RequestStatistics statistics;
    const AskPlugin ask = statistics.Counting([&](const CORE::PropertyBag& request) {
        HostAnswer answer;
        if (request.get(L"opcode") != L"Performance") return answer;
        const std::lock_guard<std::mutex> hold(lock);
        ticksAsked.push_back(request.getInt(L"timestamp", -1));
        EXPECT_EQ(request.getInt(L"type"), 1);
        answer.result = ticksAsked.size() != 2;  // the second is refused
        answer.reply.addInt64(L"timestamp", 4294967000LL + static_cast<int64_t>(ticksAsked.size()));
        return answer;
    });
    const ListSessionsFunction noSessions = [](std::vector<SessionEntry>&, std::string&) {
        return true;
    };
    MetricsSampler sampler({std::chrono::seconds(1), 0}, ask, noSessions, statistics);
    sampler.Start();
    EXPECT_TRUE(WaitUntil([&] {
        const std::lock_guard<std::mutex> hold(lock);
        return ticksAsked.size() >= 4;
    }));
    sampler.Stop();
    const std::lock_guard<std::mutex> hold(lock);
    ASSERT_GE(ticksAsked.size(), 4u);
    EXPECT_EQ(std::vector<int32_t>(ticksAsked.begin(), ticksAsked.begin() + 4),
              (std::vector<int32_t>{0, static_cast<int32_t>(4294967001LL), 0,
                                    static_cast<int32_t>(4294967003LL)}));
    EXPECT_NE(sampler.Exposition().find(
                  "dorn_plugin_requests_total{opcode=\"Performance\",result=\"false\"} 1\n"),
              std::string::npos);
}

}  // namespace
}  // namespace dorn::test
