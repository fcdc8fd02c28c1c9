// What the metrics tests ask of the system, given by each build its own way: thread names and
// ids, and the made-up counter objects and sessions only the Linux API layer can offer.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace dorn::test {

inline constexpr const char* kNoCounterFiles =
    "counter files and made-up sessions need the Linux API layer";

// The name the system shows for a thread of this process ("" when it has none).
std::string SystemThreadName(DWORD threadId);
// The ids of this process's threads.
std::set<DWORD> ProcessThreadIds();

// Runs `action` and returns the exit codes of those threads of `ids` that have ended by then,
// each watched through a handle opened before it ran. Only where an ended thread keeps its
// record (Windows); elsewhere runs `action` and returns nothing.
bool KeepsThreadRecords();
std::map<DWORD, DWORD> ExitCodesAfter(const std::set<DWORD>& ids,
                                      const std::function<void()>& action);

// True where a test can publish counter files and choose the machine's sessions.
bool CanFakeCounters();

struct FakeSession {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// Each of these fails the calling test where CanFakeCounters() is false.
void ResetCounterNames();
void PublishCounterFixture(const std::string& path);
void ForgetCounterFixtures();
void SetFakeSessions(const std::vector<FakeSession>& sessions);
void ClearFakeSessions();
// How often the counter function `api` has been called in this process.
uint64_t CounterApiCalls(const char* api);
// Forgets the faults armed with FailCall (tests/support/FaultInjection.h) that have not fired.
void ForgetInjectedFaults();

}  // namespace dorn::test
