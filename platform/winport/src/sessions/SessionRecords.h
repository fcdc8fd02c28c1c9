// A user session as terminal-services sessions show it, made from the two descriptions of
// sessions on Linux.
//
// logind's login session (as sd-login reads it), when its id is numeric: the account of its
// uid is the user, its state gives the state: "active" -> WTSActive, "online" (logged on, not in
// the foreground) -> WTSDisconnected, "opening" -> WTSInit, "closing" -> WTSDown. The station name
// is the session's TTY, else its PAM service.
//
// A sessions file: {"sessions": [{"id": 3, "user": "alice", "state": "active"}]}, with an
// optional "station"; states are named after WTS_CONNECTSTATE_CLASS ("active", "connected",
// "connectquery", "shadow", "disconnected", "idle", "listen", "reset", "down", "init").
#pragma once

#include <wtsapi32.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LoginSessionSource.h"

namespace winport {

struct SessionRecord {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// An account's name by uid; empty when the account is unknown.
using AccountNameOf = std::function<std::wstring(uint32_t uid)>;

// The terminal-services session of a login session; nullopt when the id is not numeric or the
// state is not one logind gives.
std::optional<SessionRecord> SessionOfLogin(const LoginSession& login,
                                            const AccountNameOf& accountName);

// The sessions of a sessions file, or false with the reason ("sessions[0].state: ...").
bool ParseSessionsFile(std::string_view text, std::vector<SessionRecord>& sessions,
                       std::string& reason);

bool ContainsId(const std::vector<SessionRecord>& sessions, DWORD id);
void SortById(std::vector<SessionRecord>& sessions);

}  // namespace winport
