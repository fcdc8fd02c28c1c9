// Terminal services: the machine's user sessions. On Linux they are the login sessions
// (systemd-logind) and the sessions declared in a sessions file (winport/publish.h).
#pragma once

#include "windef.h"
#include "winerror.h"

// Windows keeps this code in winerror.h; the session calls are its only users here.
#ifndef ERROR_CTX_WINSTATION_NOT_FOUND
#define ERROR_CTX_WINSTATION_NOT_FOUND 7022L
#endif

#define WTS_CURRENT_SERVER ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_NAME (NULL)
#define WTS_CURRENT_SESSION ((DWORD)-1)

typedef enum _WTS_CONNECTSTATE_CLASS {
    WTSActive,
    WTSConnected,
    WTSConnectQuery,
    WTSShadow,
    WTSDisconnected,
    WTSIdle,
    WTSListen,
    WTSReset,
    WTSDown,
    WTSInit
} WTS_CONNECTSTATE_CLASS;

typedef struct _WTS_SESSION_INFOW {
    DWORD SessionId;
    LPWSTR pWinStationName;
    WTS_CONNECTSTATE_CLASS State;
} WTS_SESSION_INFOW, *PWTS_SESSION_INFOW;

typedef enum _WTS_INFO_CLASS {
    WTSInitialProgram,
    WTSApplicationName,
    WTSWorkingDirectory,
    WTSOEMId,
    WTSSessionId,
    WTSUserName,
    WTSWinStationName,
    WTSDomainName,
    WTSConnectState,
    WTSClientBuildNumber,
    WTSClientName,
    WTSClientDirectory,
    WTSClientProductId,
    WTSClientHardwareId,
    WTSClientAddress,
    WTSClientDisplay,
    WTSClientProtocolType,
    WTSIdleTime,
    WTSLogonTime,
    WTSIncomingBytes,
    WTSOutgoingBytes,
    WTSIncomingFrames,
    WTSOutgoingFrames,
    WTSClientInfo,
    WTSSessionInfo
} WTS_INFO_CLASS;

extern "C" {

// Version must be 1 and Reserved 0. The list is one block, freed with WTSFreeMemory.
WINPORT_API BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                              PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount);
// Classes answered: WTSSessionId, WTSUserName, WTSWinStationName, WTSDomainName,
// WTSConnectState. The buffer is freed with WTSFreeMemory.
WINPORT_API BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId,
                                                    WTS_INFO_CLASS WTSInfoClass, LPWSTR* ppBuffer,
                                                    DWORD* pBytesReturned);
WINPORT_API void WINAPI WTSFreeMemory(PVOID pMemory);

}  // extern "C"
