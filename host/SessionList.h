// The machine's user sessions for "GET /api/sessions": those the terminal-services calls list
// (on Linux the login sessions, with the ones declared by --sessions), and those that only the
// session registry knows, which the plug-in reads its per-session data from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct SessionEntry {
    DWORD id = 0;
    std::wstring name;  // the window station, e.g. "Console"
    std::wstring user;
    std::string state;  // "active", "disconnected", ...; "registry" for registry-only sessions
};

// Sorted by id, each id once. False with `error` when the system cannot list its sessions.
bool ListSessions(std::vector<SessionEntry>& sessions, std::string& error);

// True when the session's data key names its display protocol ("KestlClient_Protocol"): only
// then can the plug-in report the protocol's statistics.
bool DeclaresDisplayProtocol(DWORD sessionId);

// Text of the system (a user or station name) as UTF-8; a character that has no UTF-8 form (a
// lone surrogate) becomes U+FFFD.
std::string Utf8FromWide(const std::wstring& text);

// {"sessions": [{"id": 3, "name": "...", "user": "...", "state": "active"}, ...]}
std::string SessionsToJson(const std::vector<SessionEntry>& sessions);
