#include "MetricsSampler.h"

#include <algorithm>

namespace {

constexpr int32_t kMachineMetrics = 1;   // "Performance" type bit: the samples' values
constexpr int32_t kNewestProcesses = 2;  // "Performance" type bit: the newest processes

// The samples the collection thread took since the previous round's reply; the processes only
// when they are wanted.
CORE::PropertyBag PerformanceRequest(uint32_t sinceTick, bool processes) {
    CORE::PropertyBag request;
    request.add(L"opcode", L"Performance");
    request.addInt(L"timestamp", static_cast<int32_t>(sinceTick));
    request.addInt(L"type", kMachineMetrics | (processes ? kNewestProcesses : 0));
    return request;
}

CORE::PropertyBag SessionRequest(const wchar_t* opcode, DWORD sessionId) {
    CORE::PropertyBag request;
    request.add(L"opcode", opcode);
    request.addInt(L"SESSIONID", static_cast<int32_t>(sessionId));
    return request;
}

std::vector<MetricFamily> RoundFamilies(std::chrono::system_clock::time_point ended,
                                        std::chrono::duration<double> took) {
    const std::chrono::duration<double> sinceEpoch = ended.time_since_epoch();
    std::vector<MetricFamily> families = {
        {"dorn_metrics_sample_timestamp_seconds", MetricType::Gauge,
         "When the last round of sampling the plug-in ended, in seconds since 1970."},
        {"dorn_metrics_sample_duration_seconds", MetricType::Gauge,
         "How long the last round of sampling the plug-in took."},
    };
    families[0].samples.push_back({{}, sinceEpoch.count()});
    families[1].samples.push_back({{}, took.count()});
    return families;
}

}  // namespace

MetricsSampler::MetricsSampler(MetricsSettings settings, AskPlugin ask,
                               ListSessionsFunction listSessions,
                               const RequestStatistics& statistics)
    : m_settings(settings),
      m_ask(std::move(ask)),
      m_listSessions(std::move(listSessions)),
      m_statistics(statistics) {}

MetricsSampler::~MetricsSampler() {
    Stop();
}

void MetricsSampler::Start() {
    m_thread = std::thread([this] { Run(); });
}

void MetricsSampler::RequestStop() {
    {
        const std::lock_guard<std::mutex> hold(m_stopLock);
        m_stopping = true;
    }
    m_stopped.notify_all();
}

void MetricsSampler::Stop() {
    RequestStop();
    if (m_thread.joinable()) m_thread.join();
}

std::string MetricsSampler::Exposition() const {
    std::vector<MetricFamily> families;
    {
        const std::lock_guard<std::mutex> hold(m_lastLock);
        families = m_lastFamilies;
        families.insert(families.end(), m_lastRound.begin(), m_lastRound.end());
    }
    m_statistics.AppendFamilies(families);
    return RenderExposition(families);
}

bool MetricsSampler::Stopping() {
    const std::lock_guard<std::mutex> hold(m_stopLock);
    return m_stopping;
}

void MetricsSampler::Run() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        const auto began = std::chrono::steady_clock::now();
        SampledReplies replies;
        if (!SampleRound(replies)) return;
        std::vector<MetricFamily> families = SampledFamilies(replies, m_settings.topProcesses);
        std::vector<MetricFamily> round = RoundFamilies(std::chrono::system_clock::now(),
                                                        std::chrono::steady_clock::now() - began);
        {
            const std::lock_guard<std::mutex> hold(m_lastLock);
            m_lastFamilies = std::move(families);
            m_lastRound = std::move(round);
        }
        // A round longer than the interval is followed by the next at once.
        next = std::max(next + m_settings.interval, std::chrono::steady_clock::now());
        std::unique_lock<std::mutex> hold(m_stopLock);
        if (m_stopped.wait_until(hold, next, [this] { return m_stopping; })) return;
    }
}

bool MetricsSampler::SampleRound(SampledReplies& replies) {
    // After a failure the next round asks for every stored sample: the plug-in refuses a tick
    // later than its clock, as the previous reply's is once the tick count has wrapped.
    m_lastPerformanceTick =
        Ask(PerformanceRequest(m_lastPerformanceTick, m_settings.topProcesses > 0),
            replies.performance)
            ? static_cast<uint32_t>(replies.performance.getInt64(L"timestamp"))
            : 0;
    std::vector<SessionEntry> sessions;
    std::string error;
    if (!m_listSessions(sessions, error)) sessions.clear();
    for (SessionEntry& session : sessions) {
        SessionReplies& replied = replies.sessions.emplace_back();
        replied.session = std::move(session);
        Ask(SessionRequest(L"HistoricalMetrics", replied.session.id), replied.historical);
        // Without a protocol named the plug-in has none to report, and says so in its log.
        if (DeclaresDisplayProtocol(replied.session.id)) {
            Ask(SessionRequest(L"ProtocolInfo", replied.session.id), replied.protocol);
        }
    }
    return !Stopping();
}

// One request, unless the sampler is stopping; `reply` is left empty unless the plug-in answered
// with success.
bool MetricsSampler::Ask(const CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    if (Stopping()) return false;
    HostAnswer answer = m_ask(request);
    if (answer.failure != nullptr || !answer.result) return false;
    reply = std::move(answer.reply);
    return true;
}
