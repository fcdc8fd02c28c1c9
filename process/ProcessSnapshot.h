// Readings of the process table, the processor times and the memory load.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ProcessSnapshotTypes.h"

// NtQuerySystemInformation; its NTSTATUS is a LONG.
using NtQuerySystemInformationFunction = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

// True once the address of ntdll's NtQuerySystemInformation is known; looked up on the first
// call that succeeds and kept from then on.
bool LoadQuerySystemInformation();

// Adds or replaces one entry per process of the system's process table; removes nothing.
bool TakeProcessSnapshot(ProcessMap& map);

// Sums over all processors: total = kernel (idle included) + user time, and idle time, in
// 100-ns units. Both are 0 when the reading fails.
bool QueryProcessorTimes(uint64_t& total, uint64_t& idle);

// Percent of physical memory in use.
bool QueryMemoryLoad(uint32_t& percent);

// Forgets the looked-up address, as a fresh load of the library would (tests).
void ResetQuerySystemInformationForTesting();
// Takes `query` as the looked-up address, so that a test sees every call the readings make.
void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query);
