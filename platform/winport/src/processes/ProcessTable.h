// The process table of NtQuerySystemInformation(SystemProcessInformation), read from /proc and
// written in the x64 SYSTEM_PROCESS_INFORMATION layout.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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
    uint32_t sessionId = 0;
    // The executable's file name when the caller may read it (the name Windows reports and
    // QueryFullProcessImageNameW ends with); else the kernel's command name (kernel threads,
    // other accounts' processes).
    std::wstring imageName;
};

// Every process of /proc, ascending by id; processes that end while they are read are left
// out.
std::vector<ProcessSample> ReadProcessTable();

// Bytes the records of `samples` take.
size_t ProcessTableSize(const std::vector<ProcessSample>& samples);

// Writes the records into `buffer`, which holds at least ProcessTableSize bytes.
void WriteProcessTable(const std::vector<ProcessSample>& samples, BYTE* buffer);

}  // namespace winport
