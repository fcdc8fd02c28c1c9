// The counter objects, sessions and name translations a test makes up. Only the Linux API layer
// can offer them; a test built on them begins with
//     if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dorn::test {

inline constexpr const char* kNoCounterFiles =
    "counter files and made-up sessions need the Linux API layer";
inline constexpr const char* kNoNameTranslation =
    "counter names in another display language need the Linux API layer's translation (Wine's "
    "PdhLookupPerfNameByIndexW fails for most indices)";
inline constexpr const char* kNoPdhCallCounts =
    "counting PDH calls and open handles needs the Linux API layer";

// True where a test can publish counter files, choose the machine's sessions and translate
// counter names.
bool CanFakeCounters();

struct FakeSession {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// Where CanFakeCounters() is false these two are no-ops: nothing was made up.
void ResetCounterNames();
// Forgets every counter file, session and name translation made up, and the system sources.
void ForgetCounterFixtures();
// Each of these fails the calling test where CanFakeCounters() is false.
bool PublishCounterFixture(const std::string& path, std::string& error);
// The same, failing the calling test where the file is refused.
void PublishCounterFixture(const std::string& path);
void SetFakeSessions(const std::vector<FakeSession>& sessions);
void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>& names);
// How often the counter function `api` has been called in this process.
uint64_t CounterApiCalls(const char* api);

}  // namespace dorn::test
