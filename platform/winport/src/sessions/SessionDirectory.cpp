#include "SessionDirectory.h"

#include <algorithm>
#include <unordered_set>

#include "UnixAccounts.h"

namespace winport {
namespace {

std::wstring AccountName(uint32_t uid) {
    const std::vector<BYTE> sid = UnixUserSid(uid);
    const std::optional<UnixAccount> account = LookupUnixAccount(sid.data(), sid.size());
    return account ? account->name : std::wstring();
}

std::vector<SessionRecord> LoginSessions(LoginSessionSource& source) {
    std::vector<SessionRecord> sessions;
    for (const LoginSession& login : source.Sessions()) {
        if (std::optional<SessionRecord> session = SessionOfLogin(login, AccountName)) {
            sessions.push_back(std::move(*session));
        }
    }
    return sessions;
}

}  // namespace

SessionDirectory::SessionDirectory()
    : logins_(MachineLoginSessions()), files_("sessions file", ParseSessionsFile) {}

SessionDirectory& SessionDirectory::Instance() {
    // Never destroyed: session calls made from other libraries' destructors still find it.
    static auto* directory = new SessionDirectory();
    return *directory;
}

std::vector<SessionRecord> SessionDirectory::Sessions() {
    std::shared_ptr<LoginSessionSource> logins;
    std::vector<SessionRecord> declared;
    std::unordered_set<DWORD> declaredIds;  // however many sessions the files declare
    {
        std::unique_lock lock(lock_);
        if (override_) return *override_;
        logins = logins_;
        files_.Refresh(lock, [](const std::vector<SessionRecord>&) {});
        // A session declared by an earlier file wins over the same id in a later one.
        for (const std::vector<SessionRecord>* sessions : files_.Contents()) {
            for (const SessionRecord& session : *sessions) {
                if (declaredIds.insert(session.id).second) declared.push_back(session);
            }
        }
    }
    std::vector<SessionRecord> sessions = LoginSessions(*logins);
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                  [&](const SessionRecord& login) {
                                      return declaredIds.count(login.id) != 0;
                                  }),
                   sessions.end());
    sessions.insert(sessions.end(), declared.begin(), declared.end());
    SortById(sessions);
    return sessions;
}

std::optional<SessionRecord> SessionDirectory::Find(DWORD id) {
    for (SessionRecord& session : Sessions()) {
        if (session.id == id) return std::move(session);
    }
    return std::nullopt;
}

bool SessionDirectory::Declare(const std::string& path, std::string& error) {
    std::lock_guard lock(lock_);
    return files_.Add(path, error);
}

void SessionDirectory::ForgetFiles() {
    std::lock_guard lock(lock_);
    files_.Clear();
}

std::string SessionDirectory::Problem(const std::string& path) {
    std::unique_lock lock(lock_);
    files_.Refresh(lock, [](const std::vector<SessionRecord>&) {});
    return files_.Problem(path);
}

void SessionDirectory::SetOverride(std::optional<std::vector<SessionRecord>> sessions) {
    if (sessions) SortById(*sessions);
    std::lock_guard lock(lock_);
    override_ = std::move(sessions);
}

void SessionDirectory::SetLoginSource(std::shared_ptr<LoginSessionSource> source) {
    if (!source) source = MachineLoginSessions();
    std::lock_guard lock(lock_);
    logins_ = std::move(source);
}

}  // namespace winport
