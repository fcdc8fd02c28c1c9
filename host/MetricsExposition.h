// The text that "GET /metrics" answers with: families of gauges, counters and histograms in the
// Prometheus text exposition format 0.0.4, each with its HELP and TYPE lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// Label names and values, in the order they are written.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

enum class MetricType { Gauge, Counter, Histogram };

struct MetricSample {
    MetricLabels labels;
    double value = 0;
};

struct HistogramSample {
    MetricLabels labels;
    std::vector<uint64_t> bucketCounts;  // per bound, not accumulated: the renderer adds them up
    uint64_t count = 0;                  // every observation, those above the last bound too
    double sum = 0;
};

struct MetricFamily {
    MetricFamily(std::string familyName, MetricType familyType, std::string helpText)
        : name(std::move(familyName)), type(familyType), help(std::move(helpText)) {}

    std::string name;
    MetricType type;
    std::string help;
    std::vector<MetricSample> samples;  // gauges and counters
    std::vector<double> bounds;         // histograms: the buckets' upper bounds, ascending
    std::vector<HistogramSample> histograms;
};

// Families without series are left out: a scrape shows what is known, nothing made up.
std::string RenderExposition(const std::vector<MetricFamily>& families);
