#include "PerfmonSampler.h"

#include <winternl.h>

#include <cstring>
#include <set>

namespace {

using QuerySystemInformation = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
constexpr ULONG kFirstBufferSize = 64 * 1024;
constexpr ULONG kLargestBufferSize = 64 * 1024 * 1024;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// A process record's fields at their published x64 offsets: the system headers' declarations of
// the record differ, and each leaves some of these fields out.
namespace ProcessRecord {
constexpr size_t kNextEntryOffset = 0x00;
constexpr size_t kCreateTime = 0x20;
constexpr size_t kUserTime = 0x28;
constexpr size_t kKernelTime = 0x30;
constexpr size_t kUniqueProcessId = 0x50;
constexpr size_t kSessionId = 0x64;
constexpr size_t kWorkingSetSize = 0x90;
constexpr size_t kSize = 0x100;  // without thread records and name
}  // namespace ProcessRecord

template <typename Field>
Field FieldAt(const uint8_t* record, size_t offset) {
    Field value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

QuerySystemInformation QueryFunction() {
    static const QuerySystemInformation query = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll == nullptr ? nullptr
                                : reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
                                      GetProcAddress(ntdll, "NtQuerySystemInformation")));
    }();
    return query;
}

// The table of one information class, its buffer grown while the system asks for more. False
// when it cannot be read; `size` is the part of the buffer the system filled.
bool QueryTable(SYSTEM_INFORMATION_CLASS informationClass, std::vector<uint64_t>& buffer,
                ULONG& size) {
    const QuerySystemInformation query = QueryFunction();
    if (query == nullptr) return false;
    ULONG bytes = kFirstBufferSize;
    while (bytes <= kLargestBufferSize) {
        buffer.assign((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);  // 8-byte aligned
        size = 0;
        const NTSTATUS status = query(informationClass, buffer.data(), bytes, &size);
        if (NT_SUCCESS(status)) return true;
        if (status != kStatusInfoLengthMismatch) return false;
        bytes = size > bytes ? size + 4096 : bytes * 2;
    }
    return false;
}

uint64_t Ticks(const LARGE_INTEGER& value) {
    return static_cast<uint64_t>(value.QuadPart);
}

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

uint64_t MachineProcessorTime() {
    std::vector<uint64_t> buffer;
    ULONG size = 0;
    if (!QueryTable(SystemProcessorPerformanceInformation, buffer, size)) return 0;
    const auto* processors =
        reinterpret_cast<const SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION*>(buffer.data());
    uint64_t total = 0;
    for (size_t i = 0; i < size / sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION); ++i) {
        total += Ticks(processors[i].KernelTime) + Ticks(processors[i].UserTime);
    }
    return total;
}

PerfmonSampler::PerfmonSampler() {
    if (PdhOpenQueryW(nullptr, 0, &m_query) != 0) {
        m_query = nullptr;
        return;
    }
    if (PdhAddEnglishCounterW(m_query, L"\\Processor(_Total)\\% Processor Time", 0,
                              &m_processorTotal) != 0) {
        m_processorTotal = nullptr;
    }
    PdhCollectQueryData(m_query);  // rates need a first collection
}

PerfmonSampler::~PerfmonSampler() {
    if (m_query != nullptr) PdhCloseQuery(m_query);
}

void PerfmonSampler::Configure(const std::vector<MonitoredCounter>& counters) {
    for (const Counter& counter : m_counters) PdhRemoveCounter(counter.handle);
    m_counters.clear();
    if (m_query == nullptr) return;
    for (const MonitoredCounter& wanted : counters) {
        Counter counter{wanted.metricName, wanted.scale, nullptr};
        if (PdhAddEnglishCounterW(m_query, CounterPath(wanted).c_str(), 0, &counter.handle) == 0) {
            m_counters.push_back(std::move(counter));
        }
    }
    PdhCollectQueryData(m_query);
}

MonitorReading PerfmonSampler::Read() {
    MonitorReading reading;
    if (m_query != nullptr && PdhCollectQueryData(m_query) == 0) {
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
// machine's; processes new since the last reading count from their start.
void PerfmonSampler::ReadSessions(MonitorReading& reading) {
    const uint64_t totalMemory = TotalPhysicalMemory(reading.overallMem);
    const uint64_t machineTime = MachineProcessorTime();
    const uint64_t machineDelta =
        m_previousMachineTime == 0 ? 0 : machineTime - m_previousMachineTime;
    m_previousMachineTime = machineTime;

    std::vector<uint64_t> buffer;
    ULONG size = 0;
    if (!QueryTable(SystemProcessInformation, buffer, size)) return;
    std::map<std::pair<uint64_t, int64_t>, uint64_t> processTimes;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> perSession;  // time delta, working set
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
    for (size_t offset = 0; offset + ProcessRecord::kSize <= size;) {
        using namespace ProcessRecord;
        const uint8_t* record = bytes + offset;
        const auto key = std::make_pair(FieldAt<uint64_t>(record, kUniqueProcessId),
                                        FieldAt<int64_t>(record, kCreateTime));
        const uint64_t time =
            FieldAt<uint64_t>(record, kKernelTime) + FieldAt<uint64_t>(record, kUserTime);
        processTimes[key] = time;
        const auto previous = m_previousProcessTimes.find(key);
        auto& session = perSession[FieldAt<uint32_t>(record, kSessionId)];
        if (previous != m_previousProcessTimes.end() && time >= previous->second) {
            session.first += time - previous->second;
        }
        session.second += FieldAt<uint64_t>(record, kWorkingSetSize);
        const uint32_t next = FieldAt<uint32_t>(record, kNextEntryOffset);
        if (next == 0) break;
        offset += next;
    }
    const bool first = m_previousProcessTimes.empty();
    m_previousProcessTimes = std::move(processTimes);
    for (const auto& [sessionId, load] : perSession) {
        reading.sessions[sessionId] = SessionLoad{first ? 0 : Percent(load.first, machineDelta),
                                                  Percent(load.second, totalMemory)};
    }
}
