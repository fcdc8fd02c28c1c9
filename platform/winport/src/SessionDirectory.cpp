#include "SessionDirectory.h"

#include <dirent.h>

#include <algorithm>

#include "platform/handles/UniqueFd.h"

namespace winport {

SessionDirectory::SessionDirectory() : files_("sessions file", ParseSessionsFile) {}

SessionDirectory& SessionDirectory::Instance() {
    // Never destroyed: session calls made from other libraries' destructors still find it.
    static auto* directory = new SessionDirectory();
    return *directory;
}

std::vector<SessionRecord> SessionDirectory::ReadLogind(const std::string& directory) const {
    std::vector<SessionRecord> sessions;
    const UniqueDir listing(opendir(directory.c_str()));
    if (!listing) return sessions;  // no logind: no login sessions
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (!SessionNumber(name)) continue;  // also skips the "<id>.ref" FIFOs
        std::string text;
        FileIdentity identity;
        std::string reason;
        if (!ReadFileAndIdentity(directory + "/" + name, text, identity, reason)) continue;
        if (std::optional<SessionRecord> session = ParseLogindSession(name, text)) {
            sessions.push_back(std::move(*session));
        }
    }
    return sessions;
}

std::vector<SessionRecord> SessionDirectory::Sessions() {
    std::string logindDirectory;
    std::vector<SessionRecord> declared;
    {
        std::lock_guard lock(lock_);
        if (override_) return *override_;
        logindDirectory = logindDirectory_;
        files_.Refresh([](const std::vector<SessionRecord>&) {});
        // A session declared by an earlier file wins over the same id in a later one.
        for (const std::vector<SessionRecord>* sessions : files_.Contents()) {
            for (const SessionRecord& session : *sessions) {
                if (!ContainsId(declared, session.id)) declared.push_back(session);
            }
        }
    }
    std::vector<SessionRecord> sessions = ReadLogind(logindDirectory);
    sessions.erase(
        std::remove_if(sessions.begin(), sessions.end(),
                       [&](const SessionRecord& login) { return ContainsId(declared, login.id); }),
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
    std::lock_guard lock(lock_);
    files_.Refresh([](const std::vector<SessionRecord>&) {});
    return files_.Problem(path);
}

void SessionDirectory::SetOverride(std::optional<std::vector<SessionRecord>> sessions) {
    if (sessions) SortById(*sessions);
    std::lock_guard lock(lock_);
    override_ = std::move(sessions);
}

void SessionDirectory::SetLogindDirectory(const std::string& path) {
    std::lock_guard lock(lock_);
    logindDirectory_ = path.empty() ? "/run/systemd/sessions" : path;
}

}  // namespace winport
