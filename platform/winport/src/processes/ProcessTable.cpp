#include "ProcessTable.h"

#include <unistd.h>
#include <winternl.h>

#include <cstring>
#include <optional>

#include "KnownProcesses.h"
#include "ProcFs.h"

namespace winport {
namespace {

constexpr size_t kRecordAlignment = 8;

size_t AlignUp(size_t value) {
    return (value + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
}

size_t NameBytes(size_t characters) {
    return (characters + 1) * sizeof(WCHAR);
}

size_t RecordSize(size_t nameCharacters) {
    return AlignUp(sizeof(SYSTEM_PROCESS_INFORMATION) + NameBytes(nameCharacters));
}

const std::wstring& ImageName(const ProcessSample& sample) {
    return sample.identity->imageName;
}

uint64_t PageSize() {
    static const uint64_t size = [] {
        const long page = sysconf(_SC_PAGESIZE);
        return page > 0 ? static_cast<uint64_t>(page) : 4096u;
    }();
    return size;
}

// Windows priority classes for the nice values of normal processes.
LONG BasePriority(const procfs::StatFields& stat) {
    if (stat.priority < 0) return 15;  // real-time scheduling
    if (stat.nice <= -15) return 13;
    if (stat.nice < 0) return 10;
    if (stat.nice == 0) return 8;
    if (stat.nice <= 10) return 6;
    return 4;
}

ProcessSample Sample(const KnownProcesses::Reading& reading) {
    const procfs::IoFields& io = reading.io;
    const procfs::StatFields& stat = reading.stat;
    const procfs::StatusFields& status = reading.status;
    ProcessSample sample;
    sample.pid = static_cast<DWORD>(reading.identity->pid);
    sample.parentPid = static_cast<DWORD>(reading.identity->parentPid);
    sample.createTime = procfs::StartTicksToFileTime(stat.startTicks);
    sample.kernelTime = procfs::TicksToHundredNs(stat.systemTicks);
    sample.userTime = procfs::TicksToHundredNs(stat.userTicks);
    sample.readBytes = io.readBytes;
    sample.writeBytes = io.writeBytes;
    sample.anonymousResidentBytes = status.anonymousKb * 1024;
    sample.privateBytes = (status.anonymousKb + status.swapKb) * 1024;
    sample.virtualBytes = stat.virtualBytes;
    sample.peakVirtualBytes = status.peakVirtualKb * 1024;
    sample.workingSetBytes = stat.residentPages * PageSize();
    sample.peakWorkingSetBytes = status.peakResidentKb * 1024;
    sample.basePriority = BasePriority(stat);
    sample.identity = reading.identity;
    return sample;
}

LARGE_INTEGER Large(uint64_t value) {
    LARGE_INTEGER large;
    large.QuadPart = static_cast<LONGLONG>(value);
    return large;
}

SYSTEM_PROCESS_INFORMATION Record(const ProcessSample& sample) {
    SYSTEM_PROCESS_INFORMATION record;
    std::memset(&record, 0, sizeof record);
    record.WorkingSetPrivateSize = Large(sample.anonymousResidentBytes);
    record.CreateTime = Large(sample.createTime);
    record.UserTime = Large(sample.userTime);
    record.KernelTime = Large(sample.kernelTime);
    record.ImageName.Length = static_cast<USHORT>(ImageName(sample).size() * sizeof(WCHAR));
    record.ImageName.MaximumLength = static_cast<USHORT>(NameBytes(ImageName(sample).size()));
    record.BasePriority = sample.basePriority;
    record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(sample.pid));
    record.InheritedFromUniqueProcessId =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(sample.parentPid));
    record.SessionId = sample.identity->loginSession;
    record.PeakVirtualSize = sample.peakVirtualBytes;
    record.VirtualSize = sample.virtualBytes;
    record.PeakWorkingSetSize = sample.peakWorkingSetBytes;
    record.WorkingSetSize = sample.workingSetBytes;
    record.PagefileUsage = sample.privateBytes;
    record.PeakPagefileUsage = sample.privateBytes;
    record.PrivatePageCount = sample.privateBytes;
    record.ReadTransferCount = Large(sample.readBytes);
    record.WriteTransferCount = Large(sample.writeBytes);
    return record;
}

}  // namespace

size_t EstimateProcessTableSize(const std::vector<int>& pids,
                                const KnownProcesses::Snapshot& snapshot) {
    KnownProcesses& known = KnownProcesses::Instance();
    const procfs::ProcRoot& root = procfs::ProcessRoot();
    KnownProcesses::Reading reading;
    std::string text;
    size_t size = 0;
    for (int pid : pids) {
        if (std::optional<size_t> length = known.NameLength(pid)) {
            size += RecordSize(*length);
        } else if (known.Read(root, pid, snapshot, reading, text)) {
            size += RecordSize(reading.identity->imageName.size());
        }
    }
    return size;
}

std::vector<ProcessSample> ReadProcessTable(const std::vector<int>& pids,
                                            const KnownProcesses::Snapshot& snapshot) {
    KnownProcesses& known = KnownProcesses::Instance();
    const procfs::ProcRoot& root = procfs::ProcessRoot();
    KnownProcesses::Reading reading;
    std::string text;
    std::vector<ProcessSample> samples;
    samples.reserve(pids.size());
    for (int pid : pids) {
        if (known.Read(root, pid, snapshot, reading, text)) samples.push_back(Sample(reading));
        // else ended while read
    }
    return samples;
}

size_t ProcessTableSize(const std::vector<ProcessSample>& samples) {
    size_t size = 0;
    for (const ProcessSample& sample : samples) size += RecordSize(ImageName(sample).size());
    return size;
}

void WriteProcessTable(const std::vector<ProcessSample>& samples, BYTE* buffer) {
    size_t offset = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const ProcessSample& sample = samples[i];
        SYSTEM_PROCESS_INFORMATION record = Record(sample);
        const std::wstring& imageName = ImageName(sample);
        const size_t size = RecordSize(imageName.size());
        const size_t nameBytes = NameBytes(imageName.size());
        BYTE* name = buffer + offset + sizeof record;
        record.NextEntryOffset = i + 1 < samples.size() ? static_cast<ULONG>(size) : 0;
        record.ImageName.Buffer = reinterpret_cast<PWSTR>(name);
        std::memcpy(buffer + offset, &record, sizeof record);
        std::memcpy(name, imageName.c_str(), nameBytes);
        std::memset(name + nameBytes, 0, size - sizeof record - nameBytes);
        offset += size;
    }
}

}  // namespace winport
