// The sampling behind "GET /metrics": a thread of its own asks the plug-in at the interval
// given, one request at a time, and keeps the metric families of the last round. A scrape
// renders those with the host's request statistics and never waits for the plug-in.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MetricsExposition.h"
#include "RequestStatistics.h"
#include "SampledMetrics.h"

struct MetricsSettings {
    std::chrono::seconds interval{15};  // from the start of one round to the start of the next
    size_t topProcesses = 0;            // processes with series of their own
};

using ListSessionsFunction =
    std::function<bool(std::vector<SessionEntry>& sessions, std::string& error)>;

class MetricsSampler {
  public:
    // `ask` is counted in `statistics`, which the exposition includes.
    MetricsSampler(MetricsSettings settings, AskPlugin ask, ListSessionsFunction listSessions,
                   const RequestStatistics& statistics);
    // Stops.
    ~MetricsSampler();
    MetricsSampler(const MetricsSampler&) = delete;
    MetricsSampler& operator=(const MetricsSampler&) = delete;

    // The first round begins at once.
    void Start();
    // No request is asked after this; returns at once.
    void RequestStop();
    // RequestStop, then waits until the request in progress has its answer.
    void Stop();

    // The last round's families (none before the first round has ended), the request
    // statistics, and when the last round ended and how long it took.
    std::string Exposition() const;

  private:
    void Run();
    // False when the sampler was stopped in the middle of the round.
    bool SampleRound(SampledReplies& replies);
    bool Ask(const CORE::PropertyBag& request, CORE::PropertyBag& reply);
    bool Stopping();

    const MetricsSettings m_settings;
    const AskPlugin m_ask;
    const ListSessionsFunction m_listSessions;
    const RequestStatistics& m_statistics;
    uint32_t m_lastPerformanceTick = 0;  // the sampling thread's own

    std::mutex m_stopLock;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::thread m_thread;

    mutable std::mutex m_lastLock;
    std::vector<MetricFamily> m_lastFamilies;
    std::vector<MetricFamily> m_lastRound;  // when it ended and how long it took
};
