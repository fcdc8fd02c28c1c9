// A user session as terminal-services sessions show it, and the two files that describe
// sessions on Linux.
//
// logind: every /run/systemd/sessions/<id> file with a numeric id; USER (or the account of
// UID) is the user, STATE gives the state: "active" -> WTSActive, "online" (logged on, not in
// the foreground) -> WTSDisconnected, "opening" -> WTSInit, "closing" -> WTSDown. The station
// name is the session's TTY, else its SERVICE.
//
// A sessions file: {"sessions": [{"id": 3, "user": "alice", "state": "active"}]}, with an
// optional "station"; states are named after WTS_CONNECTSTATE_CLASS ("active", "connected",
// "connectquery", "shadow", "disconnected", "idle", "listen", "reset", "down", "init").
#pragma once

#include <wtsapi32.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winport {

struct SessionRecord {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// One logind session file; nullopt when the id is not numeric or the file has no known STATE.
std::optional<SessionRecord> ParseLogindSession(std::string_view id, std::string_view text);

// The sessions of a sessions file, or false with the reason ("sessions[0].state: ...").
bool ParseSessionsFile(std::string_view text, std::vector<SessionRecord>& sessions,
                       std::string& reason);

// A session id as logind names its files: decimal, and not WTS_CURRENT_SESSION.
std::optional<DWORD> SessionNumber(std::string_view text);
bool ContainsId(const std::vector<SessionRecord>& sessions, DWORD id);
void SortById(std::vector<SessionRecord>& sessions);

}  // namespace winport
