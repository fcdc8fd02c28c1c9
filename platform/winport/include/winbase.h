// Kernel services: last error, modules, time, waits, interlocked operations, handles.
#pragma once

#include "windef.h"
#include "winerror.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

extern "C" {

WINPORT_API DWORD WINAPI GetLastError();
WINPORT_API void WINAPI SetLastError(DWORD error);

// Modules. A module handle is the load address of a shared object; the null handle is the
// executable. File names are Windows paths on drive Z: ("Z:\usr\lib\...").
WINPORT_API HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
WINPORT_API BOOL WINAPI FreeLibrary(HMODULE module);
WINPORT_API HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
WINPORT_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
WINPORT_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
WINPORT_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);

// Clocks.
WINPORT_API DWORD WINAPI GetTickCount();
WINPORT_API ULONGLONG WINAPI GetTickCount64();
WINPORT_API void WINAPI GetSystemTime(LPSYSTEMTIME systemTime);
WINPORT_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime);
WINPORT_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
WINPORT_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);

WINPORT_API void WINAPI Sleep(DWORD milliseconds);

WINPORT_API BOOL WINAPI CloseHandle(HANDLE handle);

}  // extern "C"
