#include "MetricsExposition.h"

#include <gtest/gtest.h>

#include <limits>

namespace dorn::test {
namespace {

TEST(MetricsExpositionTest, RendersEachFamilyWithEscapesNumbersAndCumulativeBuckets) {
    std::vector<MetricFamily> families = {
        {"dorn_a_ratio", MetricType::Gauge, "Help with a \\ and\na line break."},
        {"dorn_unknown", MetricType::Gauge, "A family without series is left out."},
        {"dorn_b_bytes_total", MetricType::Counter, "A counter."},
        {"dorn_c_seconds", MetricType::Histogram, "A histogram."},
    };
    families[0].samples = {
        {{{"path", "C:\\dir"}, {"name", "say \"hi\""}, {"text", "two\nlines"}}, 0.012},
        {{{"path", "plain"}}, std::numeric_limits<double>::infinity()},
        {{{"path", "nan"}}, std::numeric_limits<double>::quiet_NaN()},
        {{{"path", "negative"}}, -std::numeric_limits<double>::infinity()},
        {{}, 1796562298.3414483},
    };
    families[2].samples = {{{{"session_id", "3"}}, 90431210}, {{{"session_id", "4"}}, 1e21}};
    families[3].bounds = {0.1, 1, 2.5};
    families[3].histograms = {{{{"opcode", "ProtocolInfo"}}, {2, 3, 0}, 6, 7.5},
                              {{{"opcode", "Performance"}}, {0, 0, 0}, 0, 0}};
    EXPECT_EQ(
        RenderExposition(families),
        "# HELP dorn_a_ratio Help with a \\\\ and\\na line break.\n"
        "# TYPE dorn_a_ratio gauge\n"
        "dorn_a_ratio{path=\"C:\\\\dir\",name=\"say \\\"hi\\\"\",text=\"two\\nlines\"} 0.012\n"
        "dorn_a_ratio{path=\"plain\"} +Inf\n"
        "dorn_a_ratio{path=\"nan\"} NaN\n"
        "dorn_a_ratio{path=\"negative\"} -Inf\n"
        "dorn_a_ratio 1796562298.3414483\n"
        "# HELP dorn_b_bytes_total A counter.\n"
        "# TYPE dorn_b_bytes_total counter\n"
        "dorn_b_bytes_total{session_id=\"3\"} 90431210\n"
        "dorn_b_bytes_total{session_id=\"4\"} 1e+21\n"
        "# HELP dorn_c_seconds A histogram.\n"
        "# TYPE dorn_c_seconds histogram\n"
        "dorn_c_seconds_bucket{opcode=\"ProtocolInfo\",le=\"0.1\"} 2\n"
        "dorn_c_seconds_bucket{opcode=\"ProtocolInfo\",le=\"1\"} 5\n"
        "dorn_c_seconds_bucket{opcode=\"ProtocolInfo\",le=\"2.5\"} 5\n"
        "dorn_c_seconds_bucket{opcode=\"ProtocolInfo\",le=\"+Inf\"} 6\n"
        "dorn_c_seconds_sum{opcode=\"ProtocolInfo\"} 7.5\n"
        "dorn_c_seconds_count{opcode=\"ProtocolInfo\"} 6\n"
        "dorn_c_seconds_bucket{opcode=\"Performance\",le=\"0.1\"} 0\n"
        "dorn_c_seconds_bucket{opcode=\"Performance\",le=\"1\"} 0\n"
        "dorn_c_seconds_bucket{opcode=\"Performance\",le=\"2.5\"} 0\n"
        "dorn_c_seconds_bucket{opcode=\"Performance\",le=\"+Inf\"} 0\n"
        "dorn_c_seconds_sum{opcode=\"Performance\"} 0\n"
        "dorn_c_seconds_count{opcode=\"Performance\"} 0\n");
    EXPECT_EQ(RenderExposition({}), "");
}

}  // namespace
}  // namespace dorn::test
