#include "PerfmonWorker.h"

namespace {

constexpr const wchar_t* kWorkerName = L"perfmon";
constexpr const wchar_t* kPluginWorker = L"AgentHelpDesk";
constexpr DWORD kPushTimeoutMs = 10000;
constexpr int32_t kCallNotImplemented = 120;

// The framework makes work items through a plain function, so the registered worker is reached
// through this pointer.
std::mutex g_activeLock;
PerfmonWorker* g_active = nullptr;

class PerfmonItem : public CORE::WorkItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>& operation,
                        const CORE::PropertyBag& request, CORE::PropertyBag& reply) override {
        const std::lock_guard<std::mutex> lock(g_activeLock);
        if (g_active == nullptr) {
            reply.setError(L"the performance monitor has stopped");
            return false;
        }
        return g_active->HandleMessage(operation, request, reply);
    }
};

CORE::WorkItem* CreatePerfmonItem() {
    return new PerfmonItem;
}

CORE::PropertyBag SessionBag(uint32_t sessionId, const wchar_t* key, int64_t value) {
    CORE::PropertyBag bag;
    bag.addInt(L"sessionId", static_cast<int32_t>(sessionId));
    bag.addInt64(key, value);
    return bag;
}

}  // namespace

std::vector<MonitoredCounter> ReadMonitoredCounters(const CORE::PropertyBag& request) {
    std::vector<MonitoredCounter> counters;
    CORE::PropertyBag bag;
    for (size_t at = request.getNextBag(L"trelPerfmonMetrics", bag, 0); at != 0;
         at = request.getNextBag(L"trelPerfmonMetrics", bag, at)) {
        MonitoredCounter counter{bag.get(L"strCounterObject"), bag.get(L"strCounter"),
                                 bag.get(L"strInstance"), bag.get(L"strMetricName"), 1};
        const int32_t scale = bag.getInt(L"dwScale", 1);
        counter.scale = scale < 1 ? 1 : static_cast<DWORD>(scale);
        if (counter.object.empty() || counter.counter.empty() || counter.metricName.empty()) {
            continue;
        }
        counters.push_back(std::move(counter));
    }
    return counters;
}

CORE::PropertyBag BuildMonitorPush(const MonitorReading& reading) {
    CORE::PropertyBag push;
    push.add(L"opcode", L"NewDataFromTrelPerfmon");
    push.addInt64(L"overall_cpu", reading.overallCpu);
    push.addInt64(L"overall_mem", reading.overallMem);
    for (const auto& [name, value] : reading.counters) push.addInt64(name.c_str(), value);
    for (const auto& [sessionId, load] : reading.sessions) {
        push.addBag(L"sessionCpuMetric", SessionBag(sessionId, L"cpu", load.cpu));
    }
    for (const auto& [sessionId, load] : reading.sessions) {
        push.addBag(L"sessionMemMetric", SessionBag(sessionId, L"mem", load.mem));
    }
    return push;
}

PerfmonWorker::PerfmonWorker(std::chrono::milliseconds interval) : m_interval(interval) {}

PerfmonWorker::~PerfmonWorker() {
    Stop();
}

bool PerfmonWorker::Register() {
    {
        const std::lock_guard<std::mutex> lock(g_activeLock);
        if (g_active != nullptr && g_active != this) return false;
        g_active = this;
    }
    return CORE::Quillmesh::System()->AddWorker(CreatePerfmonItem, kWorkerName,
                                                L"Performance monitor", true, false, true, false);
}

void PerfmonWorker::Stop() {
    {
        const std::lock_guard<std::mutex> lock(g_activeLock);
        if (g_active == this) {
            CORE::Quillmesh::System()->RemoveWorker(kWorkerName, false);
            g_active = nullptr;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_pusher.joinable()) m_pusher.join();
}

bool PerfmonWorker::HandleMessage(const CORE::corestring<wchar_t>& operation,
                                  const CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    if (operation != L"configPerfmonMetrics") {
        reply.setError(kCallNotImplemented, nullptr);
        return false;
    }
    std::vector<MonitoredCounter> counters = ReadMonitoredCounters(request);
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_stopping) {
        reply.setError(L"the performance monitor has stopped");
        return false;
    }
    m_pendingCounters = std::move(counters);
    if (!m_pusher.joinable()) m_pusher = std::thread([this] { PushLoop(); });
    m_wake.notify_all();
    return true;
}

// False once a stop was asked for.
bool PerfmonWorker::WaitInterval() {
    std::unique_lock<std::mutex> lock(m_lock);
    return !m_wake.wait_for(lock, m_interval, [this] { return m_stopping; });
}

void PerfmonWorker::PushLoop() {
    PerfmonSampler sampler;
    sampler.Read();  // the base for the first push's rates and shares
    do {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_pendingCounters) {
                sampler.Configure(*m_pendingCounters);
                m_pendingCounters.reset();
            }
        }
        if (!WaitInterval()) return;
        CORE::PropertyBag reply;
        CORE::Quillmesh::System()->SendMsg(
            kPluginWorker, L"HelpdeskOperation", BuildMonitorPush(sampler.Read()), reply, nullptr,
            nullptr, nullptr, kPushTimeoutMs, nullptr, nullptr, true, nullptr, nullptr, false);
    } while (true);
}
