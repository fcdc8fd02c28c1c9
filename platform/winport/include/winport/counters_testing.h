// Test control surface of winport's performance counters and sessions. Linux only.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../windef.h"
#include "../wtsapi32.h"

namespace winport::testing {

// Writes the Perflib English name index again (the value "Counter" of
// HKLM\Software\Microsoft\Windows NT\CurrentVersion\Perflib\009), e.g. after ResetRegistry.
// Indices never change.
WINPORT_API void RepublishCounterNames();

// Selects a display language other than English: English name -> display name. Names without
// an entry read the same in both. An empty map goes back to English.
WINPORT_API void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>& names);

// Forgets every published counter file (their names keep their indices).
WINPORT_API void ForgetCounterFiles();

// The reason the last reading of a published counter file or a declared sessions file failed,
// naming the file; empty when it was read fine.
WINPORT_API std::string CounterFileProblem(const std::string& path);

// Where "Processor" and "PhysicalDisk" read: /proc/stat, /proc/diskstats and the /sys/block
// directory. An empty text restores the system's file.
WINPORT_API void SetSystemCounterSources(const std::string& procStat, const std::string& diskStats,
                                         const std::string& sysBlock);

// Time stamp that collections take instead of the monotonic clock; nullopt restores the clock.
WINPORT_API void SetCollectionTime(std::optional<std::chrono::milliseconds> time);

// Number of calls made to a PDH or WTS function (by name, e.g. "WTSEnumerateSessionsW").
WINPORT_API uint64_t CounterApiCalls(const std::string& apiName);

struct TestSession {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// The sessions the machine reports, instead of logind's and the declared files'.
WINPORT_API void SetSessions(const std::vector<TestSession>& sessions);
// Back to logind's sessions and the declared files.
WINPORT_API void ClearSessions();
// Forgets every declared sessions file.
WINPORT_API void ForgetSessionsFiles();
// A login session as logind gives it: id, account, state, TTY and PAM service.
struct TestLoginSession {
    std::string id;
    std::optional<uint32_t> uid;
    std::string state;
    std::string tty;
    std::string service;
};

// The login sessions winport reads instead of logind's; nullopt: logind's again.
WINPORT_API void SetLoginSessions(std::optional<std::vector<TestLoginSession>> sessions);

}  // namespace winport::testing
