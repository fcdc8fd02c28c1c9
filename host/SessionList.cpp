#include "SessionList.h"

#include <wtsapi32.h>

#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "quillmesh/corestring.h"
#include "SessionDataKey.h"
#include "UniqueHandle.h"

namespace {

// Registry key names are at most 255 characters.
constexpr DWORD kLongestKeyName = 256;

const char* StateName(WTS_CONNECTSTATE_CLASS state) {
    switch (state) {
        case WTSActive:
            return "active";
        case WTSConnected:
            return "connected";
        case WTSConnectQuery:
            return "connectquery";
        case WTSShadow:
            return "shadow";
        case WTSDisconnected:
            return "disconnected";
        case WTSIdle:
            return "idle";
        case WTSListen:
            return "listen";
        case WTSReset:
            return "reset";
        case WTSDown:
            return "down";
        case WTSInit:
            return "init";
    }
    return "unknown";
}

// The session's user; empty when it has none or ended meanwhile.
std::wstring SessionUser(DWORD id) {
    UniqueWtsMemory<WCHAR> name;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, id, WTSUserName, name.put(),
                                     &bytes) ||
        name.get() == nullptr) {
        return {};
    }
    return name.get();
}

bool AddSystemSessions(std::map<DWORD, SessionEntry>& sessions, std::string& error) {
    UniqueWtsMemory<WTS_SESSION_INFOW> list;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, list.put(), &count)) {
        error = "cannot list the sessions (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& info = list.get()[i];
        SessionEntry& entry = sessions[info.SessionId];
        entry.id = info.SessionId;
        entry.name = info.pWinStationName != nullptr ? info.pWinStationName : L"";
        entry.user = SessionUser(info.SessionId);
        entry.state = StateName(info.State);
    }
    return true;
}

// A session key's name is the session id in decimal; other names are not sessions.
bool ParseSessionId(const std::wstring& name, DWORD& id) {
    if (name.empty() || name.size() > 10) return false;
    uint64_t value = 0;
    for (const wchar_t c : name) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (value > std::numeric_limits<DWORD>::max()) return false;
    id = static_cast<DWORD>(value);
    return true;
}

void AddRegistrySessions(std::map<DWORD, SessionEntry>& sessions) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionDataKey, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return;  // no session has data
    }
    for (DWORD index = 0;; ++index) {
        WCHAR name[kLongestKeyName];
        DWORD length = kLongestKeyName;
        const LSTATUS status =
            RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // too long for a session id
        if (status != ERROR_SUCCESS) return;
        DWORD id = 0;
        if (!ParseSessionId(std::wstring(name, length), id) || sessions.count(id) > 0) continue;
        sessions[id] = SessionEntry{id, L"", L"", "registry"};
    }
}

}  // namespace

std::string Utf8FromWide(const std::wstring& text) {
    std::string narrow;
    if (CORE::detail::NarrowFromWide(text, CP_UTF8, narrow)) return narrow;
    narrow.clear();
    for (const wchar_t& c : text) {
        std::string one;
        narrow += CORE::detail::NarrowFromWide(std::wstring_view(&c, 1), CP_UTF8, one)
                      ? one
                      : "\xEF\xBF\xBD";
    }
    return narrow;
}

bool DeclaresDisplayProtocol(DWORD sessionId) {
    const std::wstring path = std::wstring(kSessionDataKey) + L"\\" + std::to_wstring(sessionId);
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    return RegQueryValueExW(key.get(), L"KestlClient_Protocol", nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

bool ListSessions(std::vector<SessionEntry>& sessions, std::string& error) {
    std::map<DWORD, SessionEntry> byId;
    if (!AddSystemSessions(byId, error)) return false;
    AddRegistrySessions(byId);
    sessions.clear();
    for (auto& [id, entry] : byId) sessions.push_back(std::move(entry));
    return true;
}

std::string SessionsToJson(const std::vector<SessionEntry>& sessions) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SessionEntry& session : sessions) {
        list.push_back({{"id", session.id},
                        {"name", Utf8FromWide(session.name)},
                        {"user", Utf8FromWide(session.user)},
                        {"state", session.state}});
    }
    const nlohmann::ordered_json document = {{"sessions", list}};
    return document.dump();
}
