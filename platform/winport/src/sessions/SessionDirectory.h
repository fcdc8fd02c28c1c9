// The machine's user sessions: logind's login sessions and the sessions declared in sessions
// files, or the sessions a test set instead. A declared session replaces a logind session with
// the same id; between files, the one declared first wins.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LoginSessionSource.h"
#include "SessionRecords.h"
#include "WatchedFile.h"

namespace winport {

class SessionDirectory {
  public:
    static SessionDirectory& Instance();

    // The sessions now, by ascending id.
    std::vector<SessionRecord> Sessions();
    std::optional<SessionRecord> Find(DWORD id);

    bool Declare(const std::string& path, std::string& error);
    void ForgetFiles();
    std::string Problem(const std::string& path);
    void SetOverride(std::optional<std::vector<SessionRecord>> sessions);
    // nullptr: logind's sessions again.
    void SetLoginSource(std::shared_ptr<LoginSessionSource> source);

  private:
    SessionDirectory();

    std::mutex lock_;
    std::shared_ptr<LoginSessionSource> logins_;
    WatchedFiles<std::vector<SessionRecord>> files_;
    std::optional<std::vector<SessionRecord>> override_;
};

}  // namespace winport
