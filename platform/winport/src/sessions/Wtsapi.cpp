// wtsapi32.dll over the session directory: one allocation per result, freed by WTSFreeMemory.
#include <windows.h>
#include <wtsapi32.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "CounterApiEntry.h"
#include "ProcFs.h"
#include "SessionDirectory.h"

namespace {

using winport::SessionDirectory;
using winport::SessionRecord;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool Entered(const char* api) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi(api)) {
        SetLastError(*code);
        return false;
    }
    return true;
}

// The calling process's login session (what WTS_CURRENT_SESSION names).
std::optional<DWORD> OwnSession() {
    std::string text;
    if (!winport::procfs::ReadWholeFile("/proc/self/sessionid", text)) return std::nullopt;
    char* end = nullptr;
    const unsigned long id = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || id >= WTS_CURRENT_SESSION) return std::nullopt;
    return static_cast<DWORD>(id);
}

// The session list and its station names in one block: the array, then the strings.
WTS_SESSION_INFOW* SessionBlock(const std::vector<SessionRecord>& sessions) {
    size_t bytes = sessions.size() * sizeof(WTS_SESSION_INFOW);
    for (const SessionRecord& session : sessions)
        bytes += (session.station.size() + 1) * sizeof(WCHAR);
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    auto* infos = static_cast<WTS_SESSION_INFOW*>(block);
    auto* text = reinterpret_cast<WCHAR*>(infos + sessions.size());
    for (size_t i = 0; i < sessions.size(); ++i) {
        const std::wstring& station = sessions[i].station;
        std::memcpy(text, station.c_str(), (station.size() + 1) * sizeof(WCHAR));
        infos[i] = WTS_SESSION_INFOW{sessions[i].id, text, sessions[i].state};
        text += station.size() + 1;
    }
    return infos;
}

BOOL ReturnBytes(const void* data, size_t size, LPWSTR* buffer, DWORD* bytes) {
    void* block = std::malloc(size);
    if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(block, data, size);
    *buffer = static_cast<LPWSTR>(block);
    *bytes = static_cast<DWORD>(size);
    return TRUE;
}

BOOL ReturnText(const std::wstring& text, LPWSTR* buffer, DWORD* bytes) {
    return ReturnBytes(text.c_str(), (text.size() + 1) * sizeof(WCHAR), buffer, bytes);
}

}  // namespace

extern "C" {

BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                  PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount) {
    if (!Entered("WTSEnumerateSessionsW")) return FALSE;
    if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
    if (Reserved != 0 || Version != 1 || ppSessionInfo == nullptr || pCount == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::vector<SessionRecord> sessions = SessionDirectory::Instance().Sessions();
    WTS_SESSION_INFOW* block = SessionBlock(sessions);
    if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    *ppSessionInfo = block;
    *pCount = static_cast<DWORD>(sessions.size());
    return TRUE;
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId,
                                        WTS_INFO_CLASS WTSInfoClass, LPWSTR* ppBuffer,
                                        DWORD* pBytesReturned) {
    if (!Entered("WTSQuerySessionInformationW")) return FALSE;
    if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
    if (ppBuffer == nullptr || pBytesReturned == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::optional<DWORD> id =
        SessionId == WTS_CURRENT_SESSION ? OwnSession() : std::optional(SessionId);
    std::optional<SessionRecord> session;
    if (id) session = SessionDirectory::Instance().Find(*id);
    if (!session) return Fail(ERROR_CTX_WINSTATION_NOT_FOUND);
    switch (WTSInfoClass) {
        case WTSSessionId:
            return ReturnBytes(&session->id, sizeof session->id, ppBuffer, pBytesReturned);
        case WTSConnectState: {
            const auto state = static_cast<INT>(session->state);
            return ReturnBytes(&state, sizeof state, ppBuffer, pBytesReturned);
        }
        case WTSUserName:
            return ReturnText(session->user, ppBuffer, pBytesReturned);
        case WTSWinStationName:
            return ReturnText(session->station, ppBuffer, pBytesReturned);
        default:
            return Fail(ERROR_NOT_SUPPORTED);
    }
}

void WINAPI WTSFreeMemory(PVOID pMemory) {
    std::free(pMemory);
}

}  // extern "C"
