#include "RequestStatistics.h"

#include <algorithm>
#include <chrono>

#include "SessionList.h"

namespace {

constexpr std::array<const char*, 9> kOpcodes = {
    "ClientInfo",     "LogonTimeInfo",     "VexelTelemetry",         "ProtocolInfo", "Performance",
    "ProcessMetrics", "HistoricalMetrics", "NewDataFromTrelPerfmon", "EndProcess"};

std::string OpcodeLabel(const std::string& opcode) {
    const bool known = std::find(kOpcodes.begin(), kOpcodes.end(), opcode) != kOpcodes.end();
    return known ? opcode : "other";
}

const char* ResultLabel(const HostAnswer& answer) {
    if (answer.failure != nullptr) return "unanswered";
    return answer.result ? "true" : "false";
}

}  // namespace

AskPlugin RequestStatistics::Counting(AskPlugin ask) {
    return [this, ask = std::move(ask)](const CORE::PropertyBag& request) {
        const auto start = std::chrono::steady_clock::now();
        HostAnswer answer = ask(request);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        Record(Utf8FromWide(request.get(L"opcode").c_str()), answer, took.count());
        return answer;
    };
}

void RequestStatistics::Record(const std::string& opcode, const HostAnswer& answer,
                               double seconds) {
    const std::string label = OpcodeLabel(opcode);
    const std::lock_guard<std::mutex> hold(m_lock);
    ++m_requests[{label, ResultLabel(answer)}];
    Durations& durations = m_durations[label];
    const auto bucket = std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds);
    if (bucket != kDurationBounds.end()) ++durations.buckets[bucket - kDurationBounds.begin()];
    ++durations.count;
    durations.sum += seconds;
}

void RequestStatistics::AppendFamilies(std::vector<MetricFamily>& families) const {
    MetricFamily requests{"dorn_plugin_requests_total", MetricType::Counter,
                          "Requests the host put to the plug-in, by opcode and result."};
    MetricFamily durations{"dorn_plugin_request_duration_seconds", MetricType::Histogram,
                           "How long the plug-in took to answer a request, by opcode."};
    durations.bounds.assign(kDurationBounds.begin(), kDurationBounds.end());
    const std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& [key, count] : m_requests) {
        requests.samples.push_back(
            {{{"opcode", key.first}, {"result", key.second}}, static_cast<double>(count)});
    }
    for (const auto& [opcode, measured] : m_durations) {
        durations.histograms.push_back(
            {{{"opcode", opcode}},
             std::vector<uint64_t>(measured.buckets.begin(), measured.buckets.end()),
             measured.count,
             measured.sum});
    }
    families.push_back(std::move(requests));
    families.push_back(std::move(durations));
}
