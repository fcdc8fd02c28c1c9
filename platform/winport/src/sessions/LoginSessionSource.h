// Where the machine's login sessions come from: systemd-logind, asked through sd-login, or the
// sessions a test seeded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winport {

// One login session as logind describes it, before it becomes a terminal-services session.
struct LoginSession {
    std::string id;  // logind's session id: "3", or "c1" for a session of the display manager
    std::optional<uint32_t> uid;
    std::string state;  // "opening", "online", "active", "closing"
    std::string tty;
    std::string service;  // the PAM service that opened it
};

class LoginSessionSource {
  public:
    virtual ~LoginSessionSource() = default;
    // The sessions now; empty when they cannot be listed. A session that closes while it is
    // read is left out.
    virtual std::vector<LoginSession> Sessions() = 0;
};

// logind's sessions through sd-login. Without logind there are none.
std::shared_ptr<LoginSessionSource> MachineLoginSessions();

// Always the given sessions.
std::shared_ptr<LoginSessionSource> SeededLoginSessions(std::vector<LoginSession> sessions);

}  // namespace winport
