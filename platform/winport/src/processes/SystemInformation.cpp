// NtQuerySystemInformation (process table, processor times) and NtQueryInformationProcess.
#include <sched.h>
#include <ntstatus.h>
#include <winternl.h>

#include <cstring>
#include <limits>
#include <vector>

#include "Faults.h"
#include "KnownProcesses.h"
#include "ProcFs.h"
#include "ProcessObject.h"
#include "ProcessTable.h"

namespace {

constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);
constexpr NTSTATUS kStatusAccessViolation = static_cast<NTSTATUS>(0xC0000005L);
constexpr NTSTATUS kStatusPending = static_cast<NTSTATUS>(0x00000103L);
constexpr NTSTATUS kStatusInsufficientResources = static_cast<NTSTATUS>(0xC000009AL);
constexpr ULONG kProtectedProcessFlag = 0x1;
constexpr ULONG kProcessDeletingFlag = 0x4;

LARGE_INTEGER Large(uint64_t value) {
    LARGE_INTEGER large;
    large.QuadPart = static_cast<LONGLONG>(value);
    return large;
}

std::vector<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION> ProcessorRecords() {
    std::vector<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION> records;
    std::string text;
    if (!winport::procfs::ReadWholeFile("/proc/stat", text)) return records;
    using winport::procfs::TicksToHundredNs;
    for (const winport::procfs::CpuTicks& cpu : winport::procfs::ParsePerCpuTicks(text)) {
        SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION record;
        std::memset(&record, 0, sizeof record);
        // Waiting for I/O is idle time to Windows; time stolen by the hypervisor passed in the
        // kernel, so that kernel plus user is the processor's elapsed time.
        const uint64_t idle = cpu.idle + cpu.iowait;
        record.IdleTime = Large(TicksToHundredNs(idle));
        record.KernelTime =
            Large(TicksToHundredNs(cpu.system + cpu.irq + cpu.softirq + cpu.steal + idle));
        record.UserTime = Large(TicksToHundredNs(cpu.user + cpu.nice));
        record.DpcTime = Large(TicksToHundredNs(cpu.softirq));
        record.InterruptTime = Large(TicksToHundredNs(cpu.irq));
        records.push_back(record);
    }
    return records;
}

// The common tail of both classes: the size protocol, then the copy.
template <typename Write>
NTSTATUS Answer(size_t needed, PVOID information, ULONG length, PULONG returnLength, Write write) {
    if (needed > std::numeric_limits<ULONG>::max()) return kStatusInsufficientResources;
    if (returnLength != nullptr) *returnLength = static_cast<ULONG>(needed);
    if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
    if (information == nullptr && needed != 0) return kStatusAccessViolation;
    write(static_cast<BYTE*>(information));
    return STATUS_SUCCESS;
}

ULONG_PTR AffinityMask(DWORD pid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(static_cast<pid_t>(pid), sizeof set, &set) != 0) return 0;
    ULONG_PTR mask = 0;
    for (int cpu = 0; cpu < static_cast<int>(sizeof(ULONG_PTR) * 8); ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= ULONG_PTR(1) << cpu;
    }
    return mask;
}

PROCESS_BASIC_INFORMATION BasicInformation(const winport::ProcessObject& process) {
    PROCESS_BASIC_INFORMATION basic;
    std::memset(&basic, 0, sizeof basic);
    basic.ExitStatus = process.HasEnded() ? STATUS_SUCCESS : kStatusPending;
    basic.AffinityMask = AffinityMask(process.Pid());
    basic.BasePriority = 8;
    basic.UniqueProcessId = process.Pid();
    basic.InheritedFromUniqueProcessId = static_cast<ULONG_PTR>(process.ParentPid());
    return basic;
}

}  // namespace

extern "C" {

WINPORT_API NTSTATUS NTAPI NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS informationClass,
                                                    PVOID information, ULONG length,
                                                    PULONG returnLength) {
    if (std::optional<uint32_t> code = winport::TakeInjectedFailure("NtQuerySystemInformation")) {
        return static_cast<NTSTATUS>(*code);
    }
    switch (informationClass) {
        case SystemProcessInformation: {
            winport::KnownProcesses& known = winport::KnownProcesses::Instance();
            const winport::KnownProcesses::Snapshot snapshot = known.BeginSnapshot();
            const std::vector<int> pids = winport::procfs::ListProcessIds();
            // A buffer that cannot hold the table is answered without reading every process:
            // callers ask for the size first.
            const size_t estimate = winport::EstimateProcessTableSize(pids, snapshot);
            if (length < estimate) {
                return Answer(estimate, information, length, returnLength, [](BYTE*) {});
            }
            std::vector<winport::ProcessSample> table = winport::ReadProcessTable(pids, snapshot);
            known.EndSnapshot(snapshot.number);
            return Answer(winport::ProcessTableSize(table), information, length, returnLength,
                          [&](BYTE* buffer) { winport::WriteProcessTable(table, buffer); });
        }
        case SystemProcessorPerformanceInformation: {
            auto records = ProcessorRecords();
            const size_t size = records.size() * sizeof(records[0]);
            return Answer(size, information, length, returnLength, [&](BYTE* buffer) {
                if (size != 0) std::memcpy(buffer, records.data(), size);
            });
        }
        default:
            return kStatusInvalidInfoClass;
    }
}

WINPORT_API NTSTATUS NTAPI NtQueryInformationProcess(HANDLE handle,
                                                     PROCESSINFOCLASS informationClass,
                                                     PVOID information, ULONG length,
                                                     PULONG returnLength) {
    if (std::optional<uint32_t> code = winport::TakeInjectedFailure("NtQueryInformationProcess")) {
        return static_cast<NTSTATUS>(*code);
    }
    if (informationClass != ProcessBasicInformation) return kStatusInvalidInfoClass;
    const bool extended = length == sizeof(PROCESS_EXTENDED_BASIC_INFORMATION);
    if (length != sizeof(PROCESS_BASIC_INFORMATION) && !extended) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (information == nullptr) return kStatusAccessViolation;
    SIZE_T declaredSize = 0;
    if (extended) std::memcpy(&declaredSize, information, sizeof declaredSize);
    if (extended && declaredSize != sizeof(PROCESS_EXTENDED_BASIC_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::shared_ptr<winport::ProcessObject> process = winport::FindProcess(handle);
    if (!process) return STATUS_INVALID_HANDLE;
    if (!process->HasAnyRight(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) {
        return STATUS_ACCESS_DENIED;
    }
    PROCESS_BASIC_INFORMATION basic = BasicInformation(*process);
    if (!extended) {
        std::memcpy(information, &basic, sizeof basic);
    } else {
        PROCESS_EXTENDED_BASIC_INFORMATION record;
        std::memset(&record, 0, sizeof record);
        record.Size = sizeof record;
        record.BasicInfo = basic;
        // Kernel threads are what Windows calls protected: nothing from user space may end or
        // inspect them.
        if (process->IsKernelThread()) record.Flags |= kProtectedProcessFlag;
        if (process->HasEnded()) record.Flags |= kProcessDeletingFlag;
        std::memcpy(information, &record, sizeof record);
    }
    if (returnLength != nullptr) *returnLength = length;
    return STATUS_SUCCESS;
}

}  // extern "C"
