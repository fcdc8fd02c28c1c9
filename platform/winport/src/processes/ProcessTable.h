// The process table of NtQuerySystemInformation(SystemProcessInformation), read from /proc and
// written in the x64 SYSTEM_PROCESS_INFORMATION layout.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "KnownProcesses.h"
#include "ProcessIdentity.h"

namespace winport {

struct ProcessSample {
    DWORD pid = 0;
    DWORD parentPid = 0;
    uint64_t createTime = 0;  // FILETIME value
    uint64_t kernelTime = 0;  // 100-ns units
    uint64_t userTime = 0;
    uint64_t readBytes = 0;
    uint64_t writeBytes = 0;
    // RssAnon + VmSwap of /proc/<pid>/status: the anonymous memory the process owns, resident
    // or swapped, which is what Windows counts as private bytes. status is readable for every
    // process and cheap; smaps_rollup would need ptrace access and walk every mapping.
    uint64_t privateBytes = 0;
    uint64_t anonymousResidentBytes = 0;
    uint64_t virtualBytes = 0;
    uint64_t peakVirtualBytes = 0;
    uint64_t workingSetBytes = 0;
    uint64_t peakWorkingSetBytes = 0;
    LONG basePriority = 8;
    // Its name and login session, shared with the process's other readings.
    std::shared_ptr<const ProcessIdentity> identity;
};

// Bytes the records of the processes `pids` (ids listed in /proc) would take, with the names
// of the processes last seen under those ids: what a caller's buffer must hold unless processes
// start meanwhile or an id now names another process. Processes seen for the first time are
// read now, for `snapshot`.
size_t EstimateProcessTableSize(const std::vector<int>& pids,
                                const KnownProcesses::Snapshot& snapshot);

// The processes `pids`, in their order, for the snapshot `snapshot`; processes that end while
// they are read are left out.
std::vector<ProcessSample> ReadProcessTable(const std::vector<int>& pids,
                                            const KnownProcesses::Snapshot& snapshot);

// Bytes the records of `samples` take.
size_t ProcessTableSize(const std::vector<ProcessSample>& samples);

// Writes the records into `buffer`, which holds at least ProcessTableSize bytes.
void WriteProcessTable(const std::vector<ProcessSample>& samples, BYTE* buffer);

}  // namespace winport
