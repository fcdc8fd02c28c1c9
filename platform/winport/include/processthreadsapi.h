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

// Threads: POSIX threads. A thread id is the Linux thread id (as `ps -L` shows it). A thread
// handle keeps the thread's record (exit code, state) until it is closed; a thread whose handles
// are all closed leaves nothing behind when it ends. Threads are stopped cooperatively:
// there is no TerminateThread.
#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259L

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

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

// Security attributes and stack size are accepted and ignored (the stack is the system's
// default). Flags: 0 or CREATE_SUSPENDED; the thread id is known when the call returns.
WINPORT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                       LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                       DWORD creationFlags, LPDWORD threadId);
// The previous suspend count (0: the thread was running), 0xFFFFFFFF on failure.
WINPORT_API DWORD WINAPI ResumeThread(HANDLE thread);
// STILL_ACTIVE while the thread runs (or waits to be resumed), then its start routine's result.
WINPORT_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// The pseudo handle (HANDLE)-2 of the calling thread; closing it does nothing.
WINPORT_API HANDLE WINAPI GetCurrentThread();
WINPORT_API DWORD WINAPI GetCurrentThreadId();
// The seven THREAD_PRIORITY_* levels, as nice values of the thread (HIGHEST is nice -10);
// raising above the normal level needs the right to do so (else ERROR_ACCESS_DENIED).
WINPORT_API BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
// The previous mask, 0 on failure (a mask naming no usable processor: ERROR_INVALID_PARAMETER).
WINPORT_API DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
WINPORT_API BOOL WINAPI SwitchToThread();
// Publishes the name to the system (pthread_setname_np, cut to 15 bytes of UTF-8).
WINPORT_API HRESULT WINAPI SetThreadDescription(HANDLE thread, PCWSTR description);

}  // extern "C"
