#include "RequestStatistics.h"

#include <gtest/gtest.h>

#include "Exposition.h"

namespace dorn::test {
namespace {

HostAnswer Answered(bool result) {
    HostAnswer answer;
    answer.result = result;
    return answer;
}

HostAnswer Unanswered() {
    HostAnswer answer;
    answer.failure = "the request was abandoned";
    return answer;
}

std::map<std::string, std::string> SeriesOf(const RequestStatistics& statistics) {
    std::vector<MetricFamily> families;
    statistics.AppendFamilies(families);
    return dorn::test::SeriesOf(RenderExposition(families));
}

std::map<std::string, std::string> Matching(const std::map<std::string, std::string>& series,
                                            const std::string& prefix) {
    std::map<std::string, std::string> matching;
    for (const auto& [name, value] : series) {
        if (name.rfind(prefix, 0) == 0) matching.emplace(name, value);
    }
    return matching;
}

// Counted by opcode (an unknown one as "other") and result; timed into buckets whose bound is
// the largest duration they take.
TEST(RequestStatisticsTest, CountsByOpcodeAndResultAndTimesIntoBuckets) {
    RequestStatistics statistics;
    const struct {
        const char* opcode;
        HostAnswer answer;
        double seconds;
    } requests[] = {
        {"ProtocolInfo", Answered(true), 1.0},   {"ProtocolInfo", Answered(false), 0.0051},
        {"ProtocolInfo", Answered(true), 0.004}, {"Performance", Unanswered(), 75},
        {"Bogus", Answered(false), 0.005},       {"", Answered(false), 0},
        {"ClientInfo", Answered(true), 60},      {"EndProcess", Answered(true), 0.3},
    };
    for (const auto& request : requests) {
        statistics.Record(request.opcode, request.answer, request.seconds);
    }
    // The plug-in's other opcodes have labels of their own; a name in another case does not.
    for (const char* opcode : {"LogonTimeInfo", "VexelTelemetry", "ProcessMetrics",
                               "HistoricalMetrics", "NewDataFromTrelPerfmon", "clientinfo"}) {
        statistics.Record(opcode, Answered(true), 0.001);
    }
    const auto series = SeriesOf(statistics);
    EXPECT_EQ(
        Matching(series, "dorn_plugin_requests_total"),
        (std::map<std::string, std::string>{
            {R"(dorn_plugin_requests_total{opcode="ClientInfo",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="EndProcess",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="HistoricalMetrics",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="LogonTimeInfo",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="NewDataFromTrelPerfmon",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="ProcessMetrics",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="VexelTelemetry",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="other",result="true"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="Performance",result="unanswered"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="ProtocolInfo",result="false"})", "1"},
            {R"(dorn_plugin_requests_total{opcode="ProtocolInfo",result="true"})", "2"},
            {R"(dorn_plugin_requests_total{opcode="other",result="false"})", "2"},
        }));
    const std::string bucket = "dorn_plugin_request_duration_seconds_bucket{opcode=";
    EXPECT_EQ(Matching(series, bucket + "\"ProtocolInfo\""),
              (std::map<std::string, std::string>{
                  {bucket + R"("ProtocolInfo",le="0.005"})", "1"},
                  {bucket + R"("ProtocolInfo",le="0.01"})", "2"},
                  {bucket + R"("ProtocolInfo",le="0.025"})", "2"},
                  {bucket + R"("ProtocolInfo",le="0.05"})", "2"},
                  {bucket + R"("ProtocolInfo",le="0.1"})", "2"},
                  {bucket + R"("ProtocolInfo",le="0.25"})", "2"},
                  {bucket + R"("ProtocolInfo",le="0.5"})", "2"},
                  {bucket + R"("ProtocolInfo",le="1"})", "3"},
                  {bucket + R"("ProtocolInfo",le="2.5"})", "3"},
                  {bucket + R"("ProtocolInfo",le="5"})", "3"},
                  {bucket + R"("ProtocolInfo",le="10"})", "3"},
                  {bucket + R"("ProtocolInfo",le="30"})", "3"},
                  {bucket + R"("ProtocolInfo",le="60"})", "3"},
                  {bucket + R"("ProtocolInfo",le="+Inf"})", "3"},
              }));
    EXPECT_DOUBLE_EQ(
        std::stod(series.at(R"(dorn_plugin_request_duration_seconds_sum{opcode="ProtocolInfo"})")),
        1.0091);
    EXPECT_EQ(series.at(R"(dorn_plugin_request_duration_seconds_count{opcode="ProtocolInfo"})"),
              "3");
    EXPECT_EQ(series.at(bucket + R"("other",le="0.005"})"), "3");
    EXPECT_EQ(series.at(bucket + R"("ClientInfo",le="30"})"), "0");
    EXPECT_EQ(series.at(bucket + R"("ClientInfo",le="60"})"), "1");
    EXPECT_EQ(series.at(bucket + R"("Performance",le="60"})"), "0");
    EXPECT_EQ(series.at(bucket + R"("Performance",le="+Inf"})"), "1");

    // Counting around the plug-in: the opcode is the request's, and counts only grow.
    const AskPlugin ask = statistics.Counting([](const CORE::PropertyBag& request) {
        return request.get(L"opcode") == L"ProtocolInfo" ? Answered(true) : Unanswered();
    });
    for (const wchar_t* opcode : {L"ProtocolInfo", L"ProtocolInfo", L"Performance"}) {
        CORE::PropertyBag request;
        request.add(L"opcode", opcode);
        EXPECT_EQ(ask(request).failure == nullptr, std::wstring(opcode) == L"ProtocolInfo");
    }
    const auto later = SeriesOf(statistics);
    EXPECT_EQ(later.at(R"(dorn_plugin_requests_total{opcode="ProtocolInfo",result="true"})"), "4");
    EXPECT_EQ(later.at(R"(dorn_plugin_requests_total{opcode="Performance",result="unanswered"})"),
              "2");
    EXPECT_EQ(later.at(R"(dorn_plugin_request_duration_seconds_count{opcode="ProtocolInfo"})"),
              "5");
    for (const auto& [name, value] : series) {
        ASSERT_TRUE(later.count(name)) << name;
        EXPECT_GE(std::stod(later.at(name)), std::stod(value)) << name;
    }
}

}  // namespace
}  // namespace dorn::test
