// The service control manager, over systemd. Its services are the "*.service" units the
// service manager lists on the system bus (org.freedesktop.systemd1), each a Win32 service in a
// process of its own named <name>, whose display name is the unit name; a service runs while the
// manager reports a main process for it (MainPID), and that is its process id. Without a service
// manager on the bus, they are the "<name>.service" cgroups under system.slice (nested slices
// included): a service runs while its cgroup subtree holds a process, and its process id is the
// one the manager started (see ServiceTree.h). Without systemd there is no service manager:
// OpenSCManagerW fails with RPC_S_SERVER_UNAVAILABLE. The service list is read when the manager
// is opened; states and process ids are read at each query.
#pragma once

#include "windef.h"
#include "winnt.h"

typedef struct SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;

#define SERVICES_ACTIVE_DATABASEW L"ServicesActive"

#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F

#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF

#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_DRIVER 0x0000000B
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_WIN32 0x00000030
#define SERVICE_INTERACTIVE_PROCESS 0x00000100

#define SERVICE_ACTIVE 0x00000001
#define SERVICE_INACTIVE 0x00000002
#define SERVICE_STATE_ALL 0x00000003

#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004

#define SERVICE_ACCEPT_STOP 0x00000001

#define SERVICE_RUNS_IN_SYSTEM_PROCESS 0x00000001

typedef enum _SC_ENUM_TYPE { SC_ENUM_PROCESS_INFO = 0 } SC_ENUM_TYPE;
typedef enum _SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 } SC_STATUS_TYPE;

typedef struct _SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;

typedef struct _ENUM_SERVICE_STATUS_PROCESSW {
    LPWSTR lpServiceName;
    LPWSTR lpDisplayName;
    SERVICE_STATUS_PROCESS ServiceStatusProcess;
} ENUM_SERVICE_STATUS_PROCESSW, *LPENUM_SERVICE_STATUS_PROCESSW;

static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "x64 layout");
static_assert(sizeof(ENUM_SERVICE_STATUS_PROCESSW) == 56, "x64 layout");

extern "C" {

// The local machine and the active database only. Connecting and enumerating are open to every
// caller; rights that change services need root.
WINPORT_API SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                            DWORD desiredAccess);
// As on Windows: entries at the start of the buffer, their strings packed at its end, at most
// 256 KiB of them per call. When the remaining services do not fit, returns those that do with
// ERROR_MORE_DATA, the bytes needed
// for the rest and the resume handle to continue from; the last batch resets it to 0.
WINPORT_API BOOL WINAPI EnumServicesStatusExW(SC_HANDLE manager, SC_ENUM_TYPE infoLevel,
                                              DWORD serviceType, DWORD serviceState,
                                              LPBYTE services, DWORD bufferSize,
                                              LPDWORD bytesNeeded, LPDWORD servicesReturned,
                                              LPDWORD resumeHandle, LPCWSTR groupName);
// Service names compare without regard to case; the unit name ("ssh.service") is accepted too.
WINPORT_API SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName,
                                          DWORD desiredAccess);
WINPORT_API BOOL WINAPI QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel,
                                             LPBYTE buffer, DWORD bufferSize, LPDWORD bytesNeeded);
WINPORT_API BOOL WINAPI CloseServiceHandle(SC_HANDLE object);

}  // extern "C"
