// Native system information, records laid out as on 64-bit Windows and built from /proc.
#pragma once

#include <cstddef>

#include "windef.h"
#include "winerror.h"

typedef LONG NTSTATUS;

#ifndef NT_SUCCESS
#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#endif

typedef LONG KPRIORITY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without the NUL
    USHORT MaximumLength;  // bytes, with the NUL
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef enum _SYSTEM_INFORMATION_CLASS {
    SystemBasicInformation = 0,
    SystemProcessInformation = 5,
    SystemProcessorPerformanceInformation = 8,
} SYSTEM_INFORMATION_CLASS;

// One process of the process table. Records are chained by NextEntryOffset (0 in the last);
// ImageName.Buffer points into the caller's buffer, after the record. Thread records are not
// produced: NumberOfThreads is 0, so a reader that walks them finds none.
typedef struct _SYSTEM_PROCESS_INFORMATION {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    LARGE_INTEGER WorkingSetPrivateSize;
    ULONG HardFaultCount;
    ULONG NumberOfThreadsHighWatermark;
    ULONGLONG CycleTime;
    LARGE_INTEGER CreateTime;
    LARGE_INTEGER UserTime;
    LARGE_INTEGER KernelTime;
    UNICODE_STRING ImageName;
    KPRIORITY BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    ULONG_PTR UniqueProcessKey;
    SIZE_T PeakVirtualSize;
    SIZE_T VirtualSize;
    ULONG PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
    SIZE_T PrivatePageCount;  // bytes, despite the name
    LARGE_INTEGER ReadOperationCount;
    LARGE_INTEGER WriteOperationCount;
    LARGE_INTEGER OtherOperationCount;
    LARGE_INTEGER ReadTransferCount;
    LARGE_INTEGER WriteTransferCount;
    LARGE_INTEGER OtherTransferCount;
} SYSTEM_PROCESS_INFORMATION, *PSYSTEM_PROCESS_INFORMATION;

static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime) == 0x20, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UserTime) == 0x28, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, KernelTime) == 0x30, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) == 0x38, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 0x50, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, SessionId) == 0x64, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, PrivatePageCount) == 0xC8, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ReadTransferCount) == 0xE8, "x64 layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, WriteTransferCount) == 0xF0, "x64 layout");
static_assert(sizeof(SYSTEM_PROCESS_INFORMATION) == 0x100, "x64 layout");

// One per processor; times in 100-ns units. KernelTime includes IdleTime, as on Windows.
typedef struct _SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION {
    LARGE_INTEGER IdleTime;
    LARGE_INTEGER KernelTime;
    LARGE_INTEGER UserTime;
    LARGE_INTEGER DpcTime;
    LARGE_INTEGER InterruptTime;
    ULONG InterruptCount;
} SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION, *PSYSTEM_PROCESSOR_PERFORMANCE_INFORMATION;

static_assert(sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION) == 48, "x64 layout");

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
} PROCESSINFOCLASS;

typedef struct _PROCESS_BASIC_INFORMATION {
    NTSTATUS ExitStatus;
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    KPRIORITY BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
} PROCESS_BASIC_INFORMATION, *PPROCESS_BASIC_INFORMATION;

// The extended form of ProcessBasicInformation: asked for with a length of 64 and Size 64.
// Flags: bit 0 protected (kernel threads), bit 2 exiting, bit 7 secure process.
typedef struct _PROCESS_EXTENDED_BASIC_INFORMATION {
    SIZE_T Size;
    PROCESS_BASIC_INFORMATION BasicInfo;
    ULONG Flags;
} PROCESS_EXTENDED_BASIC_INFORMATION, *PPROCESS_EXTENDED_BASIC_INFORMATION;

static_assert(sizeof(PROCESS_BASIC_INFORMATION) == 48, "x64 layout");
static_assert(sizeof(PROCESS_EXTENDED_BASIC_INFORMATION) == 64, "x64 layout");

extern "C" {

// Classes 5 and 8. A buffer too small for the table gives STATUS_INFO_LENGTH_MISMATCH with the
// length needed; success gives the length written. The idle process (id 0) is not a process on
// Linux and is not listed; processes that end while the table is read are left out.
WINPORT_API NTSTATUS NTAPI NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS informationClass,
                                                    PVOID information, ULONG length,
                                                    PULONG returnLength);
// ProcessBasicInformation with a length of 48 (basic) or 64 (extended).
WINPORT_API NTSTATUS NTAPI NtQueryInformationProcess(HANDLE process,
                                                     PROCESSINFOCLASS informationClass,
                                                     PVOID information, ULONG length,
                                                     PULONG returnLength);

}  // extern "C"
