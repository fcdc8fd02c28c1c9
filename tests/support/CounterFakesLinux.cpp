#include <gtest/gtest.h>
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include "CounterFakes.h"

namespace dorn::test {

bool CanFakeCounters() {
    return true;
}

void ResetCounterNames() {
    winport::testing::RepublishCounterNames();
}

void ForgetCounterFixtures() {
    winport::testing::ForgetCounterFiles();
    winport::testing::ForgetSessionsFiles();
    winport::testing::ClearSessions();
    winport::testing::SetLoginSessions(std::nullopt);
    winport::testing::SetCounterNameTranslation({});
    winport::testing::SetSystemCounterSources("", "", "");
    winport::testing::SetCollectionTime(std::nullopt);
}

bool PublishCounterFixture(const std::string& path, std::string& error) {
    return winport::PublishCounterFile(path, error);
}

void PublishCounterFixture(const std::string& path) {
    std::string error;
    EXPECT_TRUE(PublishCounterFixture(path, error)) << path << ": " << error;
}

void SetFakeSessions(const std::vector<FakeSession>& sessions) {
    std::vector<winport::testing::TestSession> converted;
    for (const FakeSession& session : sessions) {
        converted.push_back({session.id, session.user, session.state, session.station});
    }
    winport::testing::SetSessions(converted);
}

void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>& names) {
    winport::testing::SetCounterNameTranslation(names);
}

uint64_t CounterApiCalls(const char* api) {
    return winport::testing::CounterApiCalls(api);
}

}  // namespace dorn::test
