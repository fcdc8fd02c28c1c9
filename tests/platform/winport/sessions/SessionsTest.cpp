// Terminal-services sessions: the calls' results and buffers, logind's login sessions, and
// declared sessions files.
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include "UniqueHandle.h"
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include "CountersFixture.h"

namespace dorn::test {
namespace {

struct Listed {
    DWORD id;
    std::wstring station;
    WTS_CONNECTSTATE_CLASS state;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> Enumerate() {
    UniqueWtsMemory<WTS_SESSION_INFOW> sessions;
    DWORD count = 0;
    EXPECT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.put(), &count));
    std::vector<Listed> listed;
    for (DWORD i = 0; i < count; ++i) {
        listed.push_back({sessions.get()[i].SessionId, sessions.get()[i].pWinStationName,
                          sessions.get()[i].State});
    }
    return listed;
}

std::optional<std::wstring> UserOf(DWORD session) {
    UniqueWtsMemory<WCHAR> name;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, name.put(),
                                     &bytes)) {
        return std::nullopt;
    }
    EXPECT_EQ(bytes, (wcslen(name.get()) + 1) * sizeof(WCHAR));
    return std::wstring(name.get());
}

class SessionsTest : public CountersTest {};

// The two calls and the one information class (the user name) that callers use.
TEST_F(SessionsTest, CallsAnswerAsTerminalServicesDo) {
    winport::testing::SetSessions(
        {{7, L"bob", WTSDisconnected, L"tty3"}, {3, L"alice", WTSActive, L"pts/0"}});
    EXPECT_EQ(Enumerate(),
              (std::vector<Listed>{{3, L"pts/0", WTSActive}, {7, L"tty3", WTSDisconnected}}));
    EXPECT_EQ(UserOf(3), L"alice");
    EXPECT_EQ(UserOf(4), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CTX_WINSTATION_NOT_FOUND));
}

TEST_F(SessionsTest, LoginSessionsAreTheTerminalServicesSessions) {
    winport::testing::SetLoginSessions(std::vector<winport::testing::TestLoginSession>{
        {"10", 0, "active", "pts/0", ""},
        {"2", 0, "active", "tty2", "login"},
        {"5", std::nullopt, "online", "", "sshd"},
        {"6", 0, "closing", "", ""},
        {"7", 0, "opening", "", "gdm-password"},
        // Not terminal-services sessions: the display manager's own session, unknown states, and
        // ids that are not a session number.
        {"c1", 0, "active", "tty1", ""},
        {"8", 0, "Active", "", ""},
        {"9", 0, "", "", ""},
        {"4294967295", 0, "active", "", ""},  // WTS_CURRENT_SESSION
        {"4294967296", 0, "active", "", ""},
        {"3a", 0, "active", "", ""},
        {"", 0, "active", "", ""},
    });
    EXPECT_EQ(Enumerate(), (std::vector<Listed>{{2, L"tty2", WTSActive},
                                                {5, L"sshd", WTSDisconnected},
                                                {6, L"", WTSDown},
                                                {7, L"gdm-password", WTSInit},
                                                {10, L"pts/0", WTSActive}}));
    EXPECT_EQ(UserOf(2), L"root");  // the account of uid 0
    EXPECT_EQ(UserOf(5), L"");      // logind gave no uid
    EXPECT_EQ(UserOf(8), std::nullopt);

    // A declared session replaces logind's with the same id and is read again when it changes.
    const std::string declared = m_files.Write("declared.json", R"({"sessions": [
        {"id": 5, "user": "dave", "state": "active", "station": "RDP-Tcp#1"}, {"id": 9, "state": "listen"}]})");
    std::string error;
    ASSERT_TRUE(winport::DeclareSessionsFile(declared, error)) << error;
    EXPECT_EQ(Enumerate(), (std::vector<Listed>{{2, L"tty2", WTSActive},
                                                {5, L"RDP-Tcp#1", WTSActive},
                                                {6, L"", WTSDown},
                                                {7, L"gdm-password", WTSInit},
                                                {9, L"", WTSListen},
                                                {10, L"pts/0", WTSActive}}));
    EXPECT_EQ(UserOf(5), L"dave");
    EXPECT_EQ(UserOf(9), L"");
    m_files.Replace("declared.json",
                    R"({"sessions": [{"id": 5, "user": "dave", "state": "disconnected"}]})");
    EXPECT_EQ(Enumerate()[1], (Listed{5, L"", WTSDisconnected}));
}

// The numeric ids among the login sessions sd-login lists, ascending; false with the error
// when it cannot list them.
bool LogindSessionIds(std::vector<DWORD>& ids, int& error) {
    struct FreeText {
        void operator()(void* text) const { std::free(text); }
    };
    char** list = nullptr;
    const int count = sd_get_sessions(&list);
    const std::unique_ptr<char*, FreeText> listOwner(list);
    ids.clear();
    for (int i = 0; i < count; ++i) {
        const std::unique_ptr<char, FreeText> id(list[i]);
        char* end = nullptr;
        const unsigned long number = std::strtoul(id.get(), &end, 10);
        if (end != id.get() && *end == '\0' && number < WTS_CURRENT_SESSION) ids.push_back(number);
    }
    std::sort(ids.begin(), ids.end());
    error = count < 0 ? -count : 0;
    return count >= 0;
}

// Without logind both lists are empty; with it, a login session may open or close at any time,
// so the lists are compared only when logind's stayed the same around winport's.
TEST_F(SessionsTest, ListsTheLoginSessionsOfThisMachine) {
    std::vector<DWORD> before;
    std::vector<DWORD> after;
    int error = 0;
    if (!LogindSessionIds(before, error)) {
        GTEST_SKIP() << "sd-login cannot list this machine's login sessions: " << strerror(error);
    }
    const std::vector<Listed> listed = Enumerate();
    if (!LogindSessionIds(after, error) || after != before) {
        GTEST_SKIP() << "a login session opened or closed while the test looked";
    }
    std::vector<DWORD> ids;
    for (const Listed& session : listed) ids.push_back(session.id);
    EXPECT_EQ(ids, before);
}

TEST_F(SessionsTest, RefusesSessionsFilesThatDoNotParse) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"sessions": [{"id": -1, "state": "active"}]})",
         "sessions[0].id: expected an integer from 0 to 4294967294, found -1"},
        {R"({"sessions": [{"id": 4294967295, "state": "active"}]})", "found 4294967295"},
        {R"({"sessions": [{"id": 3.5, "state": "active"}]})", "found 3.5"},
        {R"({"sessions": [{"id": "3", "state": "active"}]})", "found string"},
        {R"({"sessions": [{"id": 3}]})", "sessions[0].state: missing"},
        {R"({"sessions": [{"id": 3, "state": "Active"}]})",
         "sessions[0].state: unknown state \"Active\" (known: active, connected,"},
        {R"({"sessions": [{"id": 3, "state": "active"}, {"id": 3, "state": "idle"}]})",
         "sessions[1]: the session id is listed twice"},
        {R"({"sessions": [{"id": 3, "state": "active", "id": 4}]})",
         "sessions[0].id: listed twice"},
        {R"({"sessions": [{"id": 3, "state": "active", "usr": "x"}]})",
         "sessions[0].usr: unknown member"},
        {R"({"sessions": {}})", "sessions: expected an array, found object"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string path = m_files.Write("sessions.json", text);
        std::string error;
        EXPECT_FALSE(winport::DeclareSessionsFile(path, error)) << text;
        EXPECT_EQ(error.rfind("sessions file " + path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    winport::testing::SetLoginSessions(std::vector<winport::testing::TestLoginSession>{});
    EXPECT_TRUE(Enumerate().empty());
}

}  // namespace
}  // namespace dorn::test
