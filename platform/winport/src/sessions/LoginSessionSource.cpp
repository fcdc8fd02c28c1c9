#include "LoginSessionSource.h"

#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>

namespace winport {
namespace {

// A string sd-login allocated.
struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using SdText = std::unique_ptr<char, FreeText>;

// The list sd_get_sessions allocates: each string and the array.
class SdTextList {
  public:
    SdTextList() = default;
    SdTextList(const SdTextList&) = delete;
    SdTextList& operator=(const SdTextList&) = delete;
    ~SdTextList() {
        if (m_list == nullptr) return;
        for (char** entry = m_list; *entry != nullptr; ++entry) std::free(*entry);
        std::free(m_list);
    }
    char*** put() { return &m_list; }
    std::vector<std::string> Texts(int count) const {
        std::vector<std::string> texts;
        for (int i = 0; m_list != nullptr && i < count; ++i) texts.emplace_back(m_list[i]);
        return texts;
    }

  private:
    char** m_list = nullptr;
};

enum class Field { Read, Absent, Gone };

// One text field of a session. -ENODATA: logind recorded nothing for it; -ENXIO: the session
// closed since it was listed. Any other failure leaves the field empty.
template <typename Getter>
Field ReadField(Getter getter, const std::string& id, std::string& value) {
    char* raw = nullptr;
    const int result = getter(id.c_str(), &raw);
    const SdText text(raw);
    if (result == -ENXIO) return Field::Gone;
    if (result < 0 || text == nullptr) return Field::Absent;
    value = text.get();
    return Field::Read;
}

std::optional<LoginSession> ReadSession(const std::string& id) {
    LoginSession session;
    session.id = id;
    // A session without a state is not one logind keeps; leave it out as if it had closed.
    if (ReadField(sd_session_get_state, id, session.state) != Field::Read) return std::nullopt;
    uid_t uid = 0;
    const int uidResult = sd_session_get_uid(id.c_str(), &uid);
    if (uidResult == -ENXIO) return std::nullopt;
    if (uidResult >= 0) session.uid = uid;
    if (ReadField(sd_session_get_tty, id, session.tty) == Field::Gone) return std::nullopt;
    if (ReadField(sd_session_get_service, id, session.service) == Field::Gone) return std::nullopt;
    return session;
}

class SdLoginSessions final : public LoginSessionSource {
  public:
    std::vector<LoginSession> Sessions() override {
        SdTextList ids;
        const int count = sd_get_sessions(ids.put());
        std::vector<LoginSession> sessions;
        if (count < 0) return sessions;
        for (const std::string& id : ids.Texts(count)) {
            if (std::optional<LoginSession> session = ReadSession(id)) {
                sessions.push_back(std::move(*session));
            }
        }
        return sessions;
    }
};

class FixedLoginSessions final : public LoginSessionSource {
  public:
    explicit FixedLoginSessions(std::vector<LoginSession> sessions)
        : m_sessions(std::move(sessions)) {}
    std::vector<LoginSession> Sessions() override { return m_sessions; }

  private:
    const std::vector<LoginSession> m_sessions;
};

}  // namespace

std::shared_ptr<LoginSessionSource> MachineLoginSessions() {
    return std::make_shared<SdLoginSessions>();
}

std::shared_ptr<LoginSessionSource> SeededLoginSessions(std::vector<LoginSession> sessions) {
    return std::make_shared<FixedLoginSessions>(std::move(sessions));
}

}  // namespace winport
