// Processes. A process handle pins the process it was opened for (a pidfd), so a process id
// that is reused after the process ended never reaches the new process through an old handle.
// Access follows Linux: PROCESS_QUERY_LIMITED_INFORMATION is granted for every process;
// PROCESS_QUERY_INFORMATION, PROCESS_VM_READ and the other inspecting rights when the caller
// may inspect the process (ptrace read access, as /proc/<pid>/exe requires); PROCESS_TERMINATE
// when the caller may signal it. Kernel threads cannot be terminated.
#pragma once

#include "windef.h"
#include "winnt.h"

#define PROCESS_NAME_NATIVE 0x00000001

extern "C" {

WINPORT_API HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// The pseudo handle (HANDLE)-1 of the calling process, with every access right.
WINPORT_API HANDLE WINAPI GetCurrentProcess();
WINPORT_API DWORD WINAPI GetCurrentProcessId();

// Creation time as FILETIME (boot time plus the start time in /proc/<pid>/stat), exit time
// (0 while the process runs), kernel and user times in 100-ns units.
WINPORT_API BOOL WINAPI GetProcessTimes(HANDLE process, LPFILETIME creationTime,
                                        LPFILETIME exitTime, LPFILETIME kernelTime,
                                        LPFILETIME userTime);

// The executable's path on drive Z: ("Z:\usr\bin\sleep"); flags PROCESS_NAME_NATIVE gives the
// NT form ("\??\Z:\usr\bin\sleep"). *size: characters of the buffer in, characters written
// without the NUL out; ERROR_INSUFFICIENT_BUFFER when the path and its NUL do not fit. Kernel
// threads have no executable (ERROR_GEN_FAILURE).
WINPORT_API BOOL WINAPI QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR exeName,
                                                   PDWORD size);

// Ends the process with SIGKILL through its pidfd; Linux cannot hand the exit code to the
// process, which is reported as killed. A process that has already ended gives
// ERROR_ACCESS_DENIED, as on Windows.
WINPORT_API BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);

// Process id 1 (the init process of this pid namespace) is the critical process.
WINPORT_API BOOL WINAPI IsProcessCritical(HANDLE process, PBOOL critical);

WINPORT_API BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);

}  // extern "C"
