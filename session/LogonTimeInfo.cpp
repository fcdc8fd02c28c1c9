#include "LogonTimeInfo.h"

#include <windows.h>

#include <string>

#include "LogMessage.h"
#include "SessionRegistryKey.h"

bool GetLogonTimeInfo(int32_t sessionId, CORE::PropertyBag& reply) {
    SessionRegistryKey key(sessionId);
    std::wstring profile;
    if (!key.ReadValue(kSessionDataPattern, L"ProfilerData", profile)) {
        LogMessage(CORE::SysMessageError, L"Failed to get logon time info from registry");
        return false;
    }
    // The console decodes the payload in the agent's ANSI code page; a profile with no form
    // there fails the operation.
    CORE::corestring<char> payload;
    try {
        payload = CORE::corestring<wchar_t>(profile)._tstr(CP_THREAD_ACP);
    } catch (const CORE::conversion_error&) {
        return false;
    }
    const CORE::corestring<wchar_t> encoded = payload.base64Encode()._wstr(CP_UTF8);
    reply.add(L"logon_time", encoded);
    return true;
}
