#include "SessionRecords.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <unordered_set>

#include "JsonInput.h"
#include "WideText.h"

namespace winport {
namespace {

using namespace json_input;

constexpr std::array<std::pair<std::string_view, WTS_CONNECTSTATE_CLASS>, 10> kStateNames = {{
    {"active", WTSActive},
    {"connected", WTSConnected},
    {"connectquery", WTSConnectQuery},
    {"shadow", WTSShadow},
    {"disconnected", WTSDisconnected},
    {"idle", WTSIdle},
    {"listen", WTSListen},
    {"reset", WTSReset},
    {"down", WTSDown},
    {"init", WTSInit},
}};

constexpr std::array<std::pair<std::string_view, WTS_CONNECTSTATE_CLASS>, 4> kLogindStates = {{
    {"active", WTSActive},
    {"online", WTSDisconnected},
    {"opening", WTSInit},
    {"closing", WTSDown},
}};

template <size_t N>
std::optional<WTS_CONNECTSTATE_CLASS> StateNamed(
    const std::array<std::pair<std::string_view, WTS_CONNECTSTATE_CLASS>, N>& names,
    std::string_view name) {
    for (const auto& [known, state] : names) {
        if (known == name) return state;
    }
    return std::nullopt;
}

// A session id as logind gives it: decimal, and not WTS_CURRENT_SESSION.
std::optional<DWORD> SessionNumber(std::string_view text) {
    DWORD id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    if (id == WTS_CURRENT_SESSION) return std::nullopt;
    return id;
}

SessionRecord ReadDeclaredSession(const Json& entry, const std::string& place) {
    ExpectObject(entry, place);
    ExpectOnlyMembers(entry, place, {"id", "user", "state", "station"});
    SessionRecord session;
    session.id = static_cast<DWORD>(
        ExpectUnsigned(RequiredMember(entry, "id", place), Member(place, "id"), 0xFFFFFFFEu));
    if (entry.contains("user")) session.user = ExpectText(entry["user"], Member(place, "user"));
    if (entry.contains("station"))
        session.station = ExpectText(entry["station"], Member(place, "station"));
    const std::string statePlace = Member(place, "state");
    const Json& state = RequiredMember(entry, "state", place);
    ExpectText(state, statePlace);
    const std::optional<WTS_CONNECTSTATE_CLASS> known =
        StateNamed(kStateNames, state.get_ref<const std::string&>());
    if (!known) {
        std::string accepted;
        for (const auto& [name, value] : kStateNames)
            accepted += (accepted.empty() ? "" : ", ") + std::string(name);
        throw InvalidInput(statePlace + ": unknown state " + state.dump() + " (known: " + accepted +
                           ")");
    }
    session.state = *known;
    return session;
}

}  // namespace

bool ContainsId(const std::vector<SessionRecord>& sessions, DWORD id) {
    return std::any_of(sessions.begin(), sessions.end(),
                       [&](const SessionRecord& session) { return session.id == id; });
}

void SortById(std::vector<SessionRecord>& sessions) {
    std::sort(sessions.begin(), sessions.end(),
              [](const SessionRecord& a, const SessionRecord& b) { return a.id < b.id; });
}

std::optional<SessionRecord> SessionOfLogin(const LoginSession& login,
                                            const AccountNameOf& accountName) {
    const std::optional<DWORD> number = SessionNumber(login.id);
    const std::optional<WTS_CONNECTSTATE_CLASS> state = StateNamed(kLogindStates, login.state);
    if (!number || !state) return std::nullopt;
    SessionRecord session;
    session.id = *number;
    session.state = *state;
    if (login.uid) session.user = accountName(*login.uid);
    session.station = DecodeUtf8(!login.tty.empty() ? login.tty : login.service);
    return session;
}

bool ParseSessionsFile(std::string_view text, std::vector<SessionRecord>& sessions,
                       std::string& reason) {
    Json document;
    if (!Parse(text, document, reason)) return false;
    try {
        ExpectObject(document, "the document");
        ExpectOnlyMembers(document, "", {"sessions"});
        const Json& list = RequiredMember(document, "sessions", "");
        ExpectArray(list, "sessions");
        std::vector<SessionRecord> read;
        std::unordered_set<DWORD> ids;  // linear in the sessions, however many
        for (size_t i = 0; i < list.size(); ++i) {
            SessionRecord session = ReadDeclaredSession(list[i], Element("sessions", i));
            if (!ids.insert(session.id).second)
                throw InvalidInput(Element("sessions", i) + ": the session id is listed twice");
            read.push_back(std::move(session));
        }
        SortById(read);
        sessions = std::move(read);
        return true;
    } catch (const InvalidInput& invalid) {
        reason = invalid.what();
        return false;
    }
}

}  // namespace winport
