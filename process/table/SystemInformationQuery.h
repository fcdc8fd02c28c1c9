// The system's process table and processor times, read through ntdll's NtQuerySystemInformation
// into a buffer that grows while the system reports a length mismatch. Nothing here logs: each
// call says how it ended, and the caller reports that in its own terms.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "ProcessMap.h"

// NtQuerySystemInformation; its NTSTATUS is a LONG.
using NtQuerySystemInformationFunction = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

inline constexpr ULONG kSystemProcessInformation = 5;
inline constexpr ULONG kSystemProcessorPerformanceInformation = 8;

struct TableReading {
    enum class Outcome { kRead, kNoNtdll, kNotExported, kNoMemory, kQueryFailed, kMalformed };
    Outcome outcome = Outcome::kRead;
    DWORD error = 0;       // kNoNtdll, kNotExported: GetLastError()
    LONG status = 0;       // kQueryFailed: the last status the system gave
    size_t size = 0;       // kNoMemory: the buffer size that could not be had
    size_t badOffset = 0;  // kMalformed: where the record at fault starts

    explicit operator bool() const { return outcome == Outcome::kRead; }
};

// Looks up the address of ntdll's NtQuerySystemInformation unless it is known (kRead); a found
// address is kept from then on and shared by every thread. The readings below look it up first.
TableReading LookUpQuerySystemInformation();

// Adds or replaces one entry per process of the system's process table; on failure the map is
// left as it was.
TableReading ReadProcessTable(ProcessMap& map);

// Sums over all processors: total = kernel (idle included) + user time, and idle time, in
// 100-ns units. Both are 0 when the reading fails; a malformed reading names the end of the
// buffer as its bad offset.
TableReading ReadProcessorTimes(uint64_t& total, uint64_t& idle);

// Forgets the looked-up address, as a fresh load of the library would (tests).
void ResetQuerySystemInformationForTesting();
// Takes `query` as the looked-up address, so that a test sees every call the readings make.
void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query);
