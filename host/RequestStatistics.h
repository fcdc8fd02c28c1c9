// The host's view of the plug-in's health: every request it puts to the plug-in counted by opcode
// and result, and how long the answer took. Any thread may count and read.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "AgentHost.h"
#include "MetricsExposition.h"

using AskPlugin = std::function<HostAnswer(const CORE::PropertyBag& request)>;

class RequestStatistics {
  public:
    // The upper bounds of the duration histogram's buckets, in seconds: a few milliseconds for a
    // registry read, a second for a protocol sampling, up to the 60 s an answer may take.
    static constexpr std::array<double, 13> kDurationBounds = {
        0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

    // `ask`, with each request counted and timed around it.
    AskPlugin Counting(AskPlugin ask);

    // The result label: "true" or "false" as the plug-in answered, "unanswered" when the
    // framework gave no answer. An opcode other than the plug-in's nine counts as "other", so
    // that a caller cannot grow the label set.
    void Record(const std::string& opcode, const HostAnswer& answer, double seconds);

    // dorn_plugin_requests_total and dorn_plugin_request_duration_seconds.
    void AppendFamilies(std::vector<MetricFamily>& families) const;

  private:
    struct Durations {
        std::array<uint64_t, kDurationBounds.size()> buckets{};
        uint64_t count = 0;
        double sum = 0;
    };

    mutable std::mutex m_lock;
    std::map<std::pair<std::string, std::string>, uint64_t> m_requests;  // (opcode, result)
    std::map<std::string, Durations> m_durations;                        // by opcode
};
