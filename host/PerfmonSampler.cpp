#include "PerfmonSampler.h"

#include "SystemInformationQuery.h"

#include "SystemFunction.h"

namespace {

// Capped at 100: the process table is read a moment after the machine's times, and working
// sets count shared pages once per process, so the parts can add up to more than the whole.
int64_t Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return 0;
    const long double share = static_cast<long double>(part) * 100 / whole;
    return share >= 100 ? 100 : static_cast<int64_t>(share);
}

uint64_t TotalPhysicalMemory(int64_t& loadPercent) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return 0;
    loadPercent = status.dwMemoryLoad;
    return status.ullTotalPhys;
}

double FormattedValue(PDH_HCOUNTER counter, bool& valid) {
    PDH_FMT_COUNTERVALUE value{};
    valid = counter != nullptr &&
            PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value) == 0;
    return valid ? value.doubleValue : 0.0;
}

std::wstring CounterPath(const MonitoredCounter& counter) {
    if (counter.instance.empty()) return L"\\" + counter.object + L"\\" + counter.counter;
    return L"\\" + counter.object + L"(" + counter.instance + L")\\" + counter.counter;
}

}  // namespace

PerfmonSampler::PerfmonSampler() {
    if (PdhOpenQueryW(nullptr, 0, m_query.put()) != 0) {
        m_query.release();  // a failed open writes nothing of ours to close
        return;
    }
    if (PdhAddEnglishCounterW(m_query.get(), L"\\Processor(_Total)\\% Processor Time", 0,
                              &m_processorTotal) != 0) {
        m_processorTotal = nullptr;
    }
    PdhCollectQueryData(m_query.get());  // rates need a first collection
}

void PerfmonSampler::Configure(const std::vector<MonitoredCounter>& counters) {
    for (const Counter& counter : m_counters) PdhRemoveCounter(counter.handle);
    m_counters.clear();
    if (!m_query) return;
    for (const MonitoredCounter& wanted : counters) {
        Counter counter{wanted.metricName, wanted.scale, nullptr};
        if (PdhAddEnglishCounterW(m_query.get(), CounterPath(wanted).c_str(), 0, &counter.handle) ==
            0) {
            m_counters.push_back(std::move(counter));
        }
    }
    PdhCollectQueryData(m_query.get());
}

MonitorReading PerfmonSampler::Read() {
    MonitorReading reading;
    if (m_query && PdhCollectQueryData(m_query.get()) == 0) {
        bool valid = false;
        reading.overallCpu = static_cast<int64_t>(FormattedValue(m_processorTotal, valid));
        for (const Counter& counter : m_counters) {
            const double value = FormattedValue(counter.handle, valid);
            if (valid) {
                reading.counters.emplace_back(counter.metricName,
                                              static_cast<int64_t>(value * counter.scale));
            }
        }
    }
    ReadSessions(reading);
    return reading;
}

// Processor share of a session: the growth of its processes' times over the growth of the
// machine's; a process new since the last reading counts from the next one.
void PerfmonSampler::ReadSessions(MonitorReading& reading) {
    const uint64_t totalMemory = TotalPhysicalMemory(reading.overallMem);
    uint64_t machineTime = 0;
    uint64_t idleTime = 0;
    ReadProcessorTimes(machineTime, idleTime);  // both 0 when it fails
    const uint64_t machineDelta =
        m_previousMachineTime == 0 ? 0 : machineTime - m_previousMachineTime;
    m_previousMachineTime = machineTime;

    ProcessMap processes;
    if (!ReadProcessTable(processes)) return;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> perSession;  // time delta, working set
    for (const auto& [key, counters] : processes) {
        auto& session = perSession[counters.sessionId];
        const auto previous = m_previousProcesses.find(key);
        if (previous != m_previousProcesses.end()) {
            const int64_t grown = counters.kernelTime + counters.userTime -
                                  previous->second.kernelTime - previous->second.userTime;
            if (grown > 0) session.first += static_cast<uint64_t>(grown);
        }
        session.second += counters.workingSetBytes;
    }
    const bool first = m_previousProcesses.empty();
    m_previousProcesses = std::move(processes);
    for (const auto& [sessionId, load] : perSession) {
        reading.sessions[sessionId] = SessionLoad{first ? 0 : Percent(load.first, machineDelta),
                                                  Percent(load.second, totalMemory)};
    }
}
