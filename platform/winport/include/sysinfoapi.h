// System information: memory status from /proc/meminfo and the system directory.
#pragma once

#include "windef.h"
#include "winnt.h"

typedef struct _MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    DWORDLONG ullTotalPhys;
    DWORDLONG ullAvailPhys;
    DWORDLONG ullTotalPageFile;
    DWORDLONG ullAvailPageFile;
    DWORDLONG ullTotalVirtual;
    DWORDLONG ullAvailVirtual;
    DWORDLONG ullAvailExtendedVirtual;
} MEMORYSTATUSEX, *LPMEMORYSTATUSEX;

static_assert(sizeof(MEMORYSTATUSEX) == 64, "x64 layout");

extern "C" {

// dwLength must be sizeof(MEMORYSTATUSEX) (64), else ERROR_INVALID_PARAMETER. Physical memory
// is MemTotal/MemAvailable; the page file adds swap; the load is the used share of physical
// memory in percent, truncated.
WINPORT_API BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer);

// The directory of the system's own executables: Z:\usr\sbin unless a test chose another.
// Returns the length without the NUL, or the size needed with the NUL when it does not fit.
WINPORT_API UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);

}  // extern "C"
