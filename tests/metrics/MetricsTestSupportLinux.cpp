#include <gtest/gtest.h>
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include <filesystem>
#include <fstream>

#include "MetricsTestSupport.h"

namespace dorn::test {

std::string SystemThreadName(DWORD threadId) {
    std::ifstream comm("/proc/self/task/" + std::to_string(threadId) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::set<DWORD> ProcessThreadIds() {
    std::set<DWORD> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(static_cast<DWORD>(std::stoul(entry.path().filename().string())));
    }
    return ids;
}

bool KeepsThreadRecords() {
    return false;
}

std::map<DWORD, DWORD> ExitCodesAfter(const std::set<DWORD>&, const std::function<void()>& action) {
    action();
    return {};
}

bool CanFakeCounters() {
    return true;
}

void ResetCounterNames() {
    winport::testing::RepublishCounterNames();
}

void PublishCounterFixture(const std::string& path) {
    std::string error;
    EXPECT_TRUE(winport::PublishCounterFile(path, error)) << path << ": " << error;
}

void ForgetCounterFixtures() {
    winport::testing::ForgetCounterFiles();
}

void SetFakeSessions(const std::vector<FakeSession>& sessions) {
    std::vector<winport::testing::TestSession> converted;
    for (const FakeSession& session : sessions) {
        converted.push_back({session.id, session.user, session.state, session.station});
    }
    winport::testing::SetSessions(converted);
}

void ClearFakeSessions() {
    winport::testing::ClearSessions();
}

uint64_t CounterApiCalls(const char* api) {
    return winport::testing::CounterApiCalls(api);
}

void ForgetInjectedFaults() {
    winport::testing::ClearFailures();
}

}  // namespace dorn::test
