// The host's hooks for counter files and sessions files, and the matching test surface.
#include "winport/publish.h"

#include "CollectionClock.h"
#include "CounterApiEntry.h"
#include "CounterCatalog.h"
#include "CounterNames.h"
#include "SessionDirectory.h"
#include "winport/counters_testing.h"

namespace winport {

bool PublishCounterFile(const std::string& path, std::string& error) {
    return pdh::CounterCatalog::Instance().Publish(path, error);
}

bool DeclareSessionsFile(const std::string& path, std::string& error) {
    return SessionDirectory::Instance().Declare(path, error);
}

}  // namespace winport

namespace winport::testing {

void RepublishCounterNames() {
    pdh::CounterNames::Instance().WriteRegistry();
}

void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>& names) {
    pdh::CounterNames::Instance().SetTranslation(names);
}

void ForgetCounterFiles() {
    pdh::CounterCatalog::Instance().ForgetFiles();
}

std::string CounterFileProblem(const std::string& path) {
    std::string problem = pdh::CounterCatalog::Instance().Problem(path);
    return problem.empty() ? SessionDirectory::Instance().Problem(path) : problem;
}

void SetSystemCounterSources(const std::string& procStat, const std::string& diskStats,
                             const std::string& sysBlock) {
    pdh::CounterCatalog::Instance().SetSystemSources({procStat, diskStats, sysBlock});
}

void SetCollectionTime(std::optional<std::chrono::milliseconds> time) {
    pdh::FixCollectionTime(time);
}

uint64_t CounterApiCalls(const std::string& apiName) {
    return CounterApiCallCount(apiName);
}

void SetSessions(const std::vector<TestSession>& sessions) {
    std::vector<SessionRecord> records;
    for (const TestSession& session : sessions) {
        records.push_back({session.id, session.user, session.state, session.station});
    }
    SessionDirectory::Instance().SetOverride(std::move(records));
}

void ClearSessions() {
    SessionDirectory::Instance().SetOverride(std::nullopt);
}

void ForgetSessionsFiles() {
    SessionDirectory::Instance().ForgetFiles();
}

void SetLoginSessions(std::optional<std::vector<TestLoginSession>> sessions) {
    if (!sessions) {
        SessionDirectory::Instance().SetLoginSource(nullptr);
        return;
    }
    std::vector<LoginSession> logins;
    for (TestLoginSession& session : *sessions) {
        logins.push_back({std::move(session.id), session.uid, std::move(session.state),
                          std::move(session.tty), std::move(session.service)});
    }
    SessionDirectory::Instance().SetLoginSource(SeededLoginSessions(std::move(logins)));
}

}  // namespace winport::testing
