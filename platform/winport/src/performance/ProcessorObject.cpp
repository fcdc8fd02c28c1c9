#include "ProcessorObject.h"

#include <algorithm>
#include <optional>

#include "ProcText.h"

namespace winport::pdh {
namespace {

// Fields of a "cpu" line in clock ticks. guest and guest_nice are already part of user and
// nice, so they are left out of the total.
struct CpuTicks {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;

    uint64_t Total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
    uint64_t Idle() const { return idle + iowait; }
};

struct CpuLine {
    std::wstring instance;  // "_Total" for the summary line
    unsigned number = 0;
    CpuTicks ticks;
};

CounterInfo Percent(const wchar_t* name, DWORD perfType) {
    return CounterInfo{name, CounterKind::Ratio, 100.0, true, perfType};
}

std::optional<CpuLine> ParseCpuLine(std::string_view line) {
    const std::vector<std::string_view> words = proctext::Words(line);
    if (words.size() < 5 || words[0].substr(0, 3) != "cpu") return std::nullopt;
    CpuLine cpu;
    const std::string_view suffix = words[0].substr(3);
    if (suffix.empty()) {
        cpu.instance = L"_Total";
    } else {
        uint64_t number = 0;
        if (!proctext::ParseNumber(suffix, number) || number > 100000) return std::nullopt;
        cpu.number = static_cast<unsigned>(number);
        cpu.instance = std::to_wstring(number);
    }
    uint64_t* fields[] = {&cpu.ticks.user,   &cpu.ticks.nice, &cpu.ticks.system,  &cpu.ticks.idle,
                          &cpu.ticks.iowait, &cpu.ticks.irq,  &cpu.ticks.softirq, &cpu.ticks.steal};
    for (size_t i = 0; i < std::size(fields) && i + 1 < words.size(); ++i) {
        if (!proctext::ParseNumber(words[i + 1], *fields[i])) return std::nullopt;
    }
    return cpu;
}

// The same order as ProcessorCounters().
std::vector<std::optional<RawValue>> Values(const CpuTicks& ticks) {
    const uint64_t total = ticks.Total();
    const uint64_t numerators[] = {total - ticks.Idle(),
                                   ticks.user + ticks.nice,
                                   ticks.system + ticks.irq + ticks.softirq,
                                   ticks.irq,
                                   ticks.softirq,
                                   ticks.Idle()};
    std::vector<std::optional<RawValue>> values;
    for (uint64_t numerator : numerators) values.push_back(RawValue{0.0, numerator, total});
    return values;
}

}  // namespace

const std::vector<CounterInfo>& ProcessorCounters() {
    static const std::vector<CounterInfo> counters = {
        Percent(L"% Processor Time", PERF_100NSEC_TIMER_INV),
        Percent(L"% User Time", PERF_100NSEC_TIMER),
        Percent(L"% Privileged Time", PERF_100NSEC_TIMER),
        Percent(L"% Interrupt Time", PERF_100NSEC_TIMER),
        Percent(L"% DPC Time", PERF_100NSEC_TIMER),
        Percent(L"% Idle Time", PERF_100NSEC_TIMER),
    };
    return counters;
}

ObjectData ParseProcessorObject(std::string_view procStat) {
    std::vector<CpuLine> processors;
    std::optional<CpuLine> total;
    proctext::ForEachLine(procStat, [&](std::string_view line) {
        if (std::optional<CpuLine> cpu = ParseCpuLine(line)) {
            if (cpu->instance == L"_Total") {
                total = std::move(cpu);
            } else {
                processors.push_back(std::move(*cpu));
            }
        }
    });
    std::sort(processors.begin(), processors.end(),
              [](const CpuLine& a, const CpuLine& b) { return a.number < b.number; });

    ObjectData object{kProcessorObject, ProcessorCounters(), true, {}};
    for (const CpuLine& cpu : processors)
        object.instances.push_back({cpu.instance, Values(cpu.ticks)});
    if (total) object.instances.push_back({total->instance, Values(total->ticks)});
    return object;
}

}  // namespace winport::pdh
