// Process snapshot and record computation: for this machine's processes, side by side with
// `ps -eo pid,user,pcpu,rss,comm` reading the same machine, and for a synthetic table of 5,000
// processes.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>
#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "ProcessRecords.h"
#include "ProcessSnapshot.h"
#include "SystemInformationParser.h"
#include "winport/testing.h"

namespace {

struct Reading {
    size_t processes = 0;
    int64_t cpuSum = 0;  // the processes' shares added up
    int64_t busy = 0;    // the machine's busy share over the same interval
};

// One reading (processor totals, then the table) and the records against the previous one.
Reading ReadAndCompute(ProcessMap& previous, uint64_t& previousTotal, uint64_t& previousIdle) {
    ProcessMap current;
    uint64_t total = 0;
    uint64_t idle = 0;
    if (!QueryProcessorTimes(total, idle) || !TakeProcessSnapshot(current)) return {};
    ProcessList list;
    ComputeProcessRecords(previous, current, static_cast<int64_t>(total - previousTotal), list);
    Reading reading;
    reading.processes = list.records.size();
    for (const ProcessRecord& record : list.records) reading.cpuSum += record.cpu;
    if (total > previousTotal) {
        reading.busy =
            100 - static_cast<int64_t>((idle - previousIdle) * 100 / (total - previousTotal));
    }
    previous = std::move(current);
    previousTotal = total;
    previousIdle = idle;
    return reading;
}

// Runs ps and reads all it prints; the number of lines.
size_t RunPs() {
    FILE* output = popen("ps -eo pid,user,pcpu,rss,comm", "r");
    if (output == nullptr) return 0;
    char line[512];
    size_t lines = 0;
    while (fgets(line, sizeof line, output) != nullptr) ++lines;
    pclose(output);
    return lines;
}

double Seconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

void BM_MachineSnapshotAndRecords(benchmark::State& state) {
    ProcessMap previous;
    uint64_t previousTotal = 0;
    uint64_t previousIdle = 0;
    ReadAndCompute(previous, previousTotal, previousIdle);
    Reading reading;
    for (auto _ : state) reading = ReadAndCompute(previous, previousTotal, previousIdle);
    state.counters["processes"] = static_cast<double>(reading.processes);
}
BENCHMARK(BM_MachineSnapshotAndRecords)->Unit(benchmark::kMillisecond);

void BM_PsSameMachine(benchmark::State& state) {
    size_t lines = 0;
    for (auto _ : state) lines = RunPs();
    state.counters["processes"] = static_cast<double>(lines > 0 ? lines - 1 : 0);
}
BENCHMARK(BM_PsSameMachine)->Unit(benchmark::kMillisecond);

// Both in each iteration, so that they see the same machine at the same moment.
void BM_MachineVersusPs(benchmark::State& state) {
    ProcessMap previous;
    uint64_t previousTotal = 0;
    uint64_t previousIdle = 0;
    ReadAndCompute(previous, previousTotal, previousIdle);
    double ours = 0;
    double ps = 0;
    int64_t cpuSum = 0;
    int64_t busy = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const Reading reading = ReadAndCompute(previous, previousTotal, previousIdle);
        cpuSum += reading.cpuSum;
        busy += reading.busy;
        const auto middle = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(RunPs());
        const auto end = std::chrono::steady_clock::now();
        ours += Seconds(middle - start);
        ps += Seconds(end - middle);
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = ours / iterations * 1000;
    state.counters["ps_ms"] = ps / iterations * 1000;
    state.counters["ours_to_ps"] = ps > 0 ? ours / ps : 0;
    // Averages over the intervals between iterations: what the listed processes used against
    // what the machine's processors were busy with.
    state.counters["cpu_sum"] = static_cast<double>(cpuSum) / iterations;
    state.counters["busy"] = static_cast<double>(busy) / iterations;
}
BENCHMARK(BM_MachineVersusPs)->Unit(benchmark::kMillisecond);

// 5,000 processes in the x64 layout. Their ids cycle through this machine's real processes
// (each with its own creation time), so that the user lookups do the work they do for real.
std::vector<unsigned char> SyntheticTable(size_t count, int64_t creationOffset) {
    ProcessMap real;
    TakeProcessSnapshot(real);
    std::vector<int64_t> pids;
    for (const auto& entry : real) pids.push_back(entry.first.processId);
    if (pids.empty()) pids.push_back(getpid());
    const std::wstring name = L"synthetic-process.exe";
    const size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
    const size_t span = (sizeof(SYSTEM_PROCESS_INFORMATION) + nameBytes + 7) / 8 * 8;
    std::vector<unsigned char> buffer(count * span, 0);
    for (size_t i = 0; i < count; ++i) {
        unsigned char* at = buffer.data() + i * span;
        SYSTEM_PROCESS_INFORMATION record;
        std::memset(&record, 0, sizeof record);
        record.NextEntryOffset = i + 1 < count ? static_cast<ULONG>(span) : 0;
        record.CreateTime.QuadPart = 133625808000000000 + static_cast<int64_t>(i) * 10000;
        record.KernelTime.QuadPart = creationOffset + static_cast<int64_t>(i) * 1000;
        record.UserTime.QuadPart = creationOffset * 2;
        record.ImageName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        record.ImageName.MaximumLength = static_cast<USHORT>(nameBytes);
        record.ImageName.Buffer = reinterpret_cast<PWSTR>(at + sizeof record);
        record.UniqueProcessId = reinterpret_cast<HANDLE>(pids[i % pids.size()]);
        record.PrivatePageCount = 1 << 20;
        record.ReadTransferCount.QuadPart = creationOffset * 3;
        std::memcpy(at, &record, sizeof record);
        std::memcpy(at + sizeof record, name.c_str(), nameBytes);
    }
    return buffer;
}

void BM_Synthetic5000Parse(benchmark::State& state) {
    const std::vector<unsigned char> table = SyntheticTable(5000, 0);
    for (auto _ : state) {
        ProcessMap map;
        size_t badOffset = 0;
        benchmark::DoNotOptimize(
            ParseProcessInformation(table.data(), table.size(), map, badOffset));
        benchmark::DoNotOptimize(map.size());
    }
}
BENCHMARK(BM_Synthetic5000Parse)->Unit(benchmark::kMillisecond);

void BM_Synthetic5000Records(benchmark::State& state) {
    const std::vector<unsigned char> first = SyntheticTable(5000, 0);
    const std::vector<unsigned char> second = SyntheticTable(5000, 10000000);
    ProcessMap previous;
    size_t badOffset = 0;
    ParseProcessInformation(first.data(), first.size(), previous, badOffset);
    size_t records = 0;
    for (auto _ : state) {
        ProcessMap current;
        ParseProcessInformation(second.data(), second.size(), current, badOffset);
        ProcessList list;
        ComputeProcessRecords(previous, current, 20000000, list);
        records = list.records.size();
    }
    state.counters["processes"] = static_cast<double>(records);
}
BENCHMARK(BM_Synthetic5000Records)->Unit(benchmark::kMillisecond);

// As the collection thread computes: the current map and the record list are those of the cycle
// before, emptied, so their storage is reused. With argument 0 every user lookup fails at once
// (access denied, as for another account's process), which leaves the parse and the records
// alone; with 1 the lookups run for real.
void BM_Synthetic5000RecordsReused(benchmark::State& state) {
    const std::vector<unsigned char> first = SyntheticTable(5000, 0);
    const std::vector<unsigned char> second = SyntheticTable(5000, 10000000);
    ProcessMap previous;
    ProcessMap current;
    ProcessList list;
    size_t badOffset = 0;
    ParseProcessInformation(first.data(), first.size(), previous, badOffset);
    if (state.range(0) == 0) winport::testing::FailCall("OpenProcess", ERROR_ACCESS_DENIED, 0, 0);
    for (auto _ : state) {
        current.clear();
        ParseProcessInformation(second.data(), second.size(), current, badOffset);
        RecomputeProcessRecords(previous, current, 20000000, list);
    }
    winport::testing::ClearFailures();
    state.counters["processes"] = static_cast<double>(list.records.size());
}
BENCHMARK(BM_Synthetic5000RecordsReused)
    ->ArgName("lookups")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
