#include "ProcessTable.h"

#include <unistd.h>
#include <winternl.h>

#include <cstring>
#include <optional>

#include "Paths.h"
#include "ProcFs.h"
#include "WideText.h"

namespace winport {
namespace {

constexpr size_t kRecordAlignment = 8;
// UNICODE_STRING lengths are 16-bit byte counts.
constexpr size_t kMaxNameCharacters = 0xFFFE / sizeof(WCHAR) - 1;

size_t AlignUp(size_t value) {
    return (value + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
}

size_t NameBytes(const std::wstring& name) {
    return (name.size() + 1) * sizeof(WCHAR);
}

size_t RecordSize(const ProcessSample& sample) {
    return AlignUp(sizeof(SYSTEM_PROCESS_INFORMATION) + NameBytes(sample.imageName));
}

std::wstring ImageName(const procfs::ProcDir& dir, const procfs::StatFields& stat) {
    std::string exe;
    std::wstring name;
    if (dir.ReadLink("exe", exe)) {
        std::wstring path = ToWindowsPath(exe);
        size_t slash = path.rfind(L'\\');
        name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    } else {
        // Any account may read the command line (unless /proc hides other accounts' processes).
        std::string commandLine;
        if (!dir.ReadFile("cmdline", commandLine)) commandLine.clear();
        name = DecodeUtf8(procfs::ExecutableFileName(stat, commandLine));
    }
    if (name.size() > kMaxNameCharacters) name.resize(kMaxNameCharacters);
    return name;
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

std::optional<ProcessSample> ReadSample(int pid, uint64_t pageSize) {
    procfs::ProcDir dir(pid);
    std::optional<procfs::StatFields> stat = dir.Stat();
    std::optional<procfs::StatusFields> status = dir.Status();
    if (!stat || !status) return std::nullopt;  // ended while being read
    ProcessSample sample;
    sample.pid = static_cast<DWORD>(pid);
    sample.parentPid = static_cast<DWORD>(stat->parentPid);
    sample.createTime = procfs::StartTicksToFileTime(stat->startTicks);
    sample.kernelTime = procfs::TicksToHundredNs(stat->systemTicks);
    sample.userTime = procfs::TicksToHundredNs(stat->userTicks);
    if (std::optional<procfs::IoFields> io = dir.Io()) {
        sample.readBytes = io->readBytes;
        sample.writeBytes = io->writeBytes;
    }
    sample.anonymousResidentBytes = status->anonymousKb * 1024;
    sample.privateBytes = (status->anonymousKb + status->swapKb) * 1024;
    sample.virtualBytes = stat->virtualBytes;
    sample.peakVirtualBytes = status->peakVirtualKb * 1024;
    sample.workingSetBytes = stat->residentPages * pageSize;
    sample.peakWorkingSetBytes = status->peakResidentKb * 1024;
    sample.basePriority = BasePriority(*stat);
    sample.sessionId = dir.LoginSession();
    sample.imageName = ImageName(dir, *stat);
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
    record.ImageName.Length = static_cast<USHORT>(sample.imageName.size() * sizeof(WCHAR));
    record.ImageName.MaximumLength = static_cast<USHORT>(NameBytes(sample.imageName));
    record.BasePriority = sample.basePriority;
    record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(sample.pid));
    record.InheritedFromUniqueProcessId =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(sample.parentPid));
    record.SessionId = sample.sessionId;
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

std::vector<ProcessSample> ReadProcessTable() {
    const long page = sysconf(_SC_PAGESIZE);
    const uint64_t pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
    std::vector<ProcessSample> samples;
    for (int pid : procfs::ListProcessIds()) {
        if (std::optional<ProcessSample> sample = ReadSample(pid, pageSize)) {
            samples.push_back(std::move(*sample));
        }
    }
    return samples;
}

size_t ProcessTableSize(const std::vector<ProcessSample>& samples) {
    size_t size = 0;
    for (const ProcessSample& sample : samples) size += RecordSize(sample);
    return size;
}

void WriteProcessTable(const std::vector<ProcessSample>& samples, BYTE* buffer) {
    size_t offset = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const ProcessSample& sample = samples[i];
        SYSTEM_PROCESS_INFORMATION record = Record(sample);
        const size_t size = RecordSize(sample);
        BYTE* name = buffer + offset + sizeof record;
        record.NextEntryOffset = i + 1 < samples.size() ? static_cast<ULONG>(size) : 0;
        record.ImageName.Buffer = reinterpret_cast<PWSTR>(name);
        std::memcpy(buffer + offset, &record, sizeof record);
        std::memcpy(name, sample.imageName.c_str(), NameBytes(sample.imageName));
        std::memset(name + NameBytes(sample.imageName), 0,
                    size - sizeof record - NameBytes(sample.imageName));
        offset += size;
    }
}

}  // namespace winport
