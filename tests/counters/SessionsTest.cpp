// Terminal-services sessions: the calls' results and buffers, logind's session files, and
// declared sessions files.
#include <sys/stat.h>

#include "counters/WtsMemory.h"
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include "tests/support/CountersFixture.h"

namespace dorn::test {
namespace {

struct Listed {
    DWORD id;
    std::wstring station;
    WTS_CONNECTSTATE_CLASS state;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> Enumerate() {
    WtsMemory<WTS_SESSION_INFOW> sessions;
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
    WtsMemory<WCHAR> name;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, name.put(),
                                     &bytes)) {
        return std::nullopt;
    }
    EXPECT_EQ(bytes, (wcslen(name.get()) + 1) * sizeof(WCHAR));
    return std::wstring(name.get());
}

class SessionsTest : public CountersTest {};

TEST_F(SessionsTest, CallsAnswerAsTerminalServicesDo) {
    winport::testing::SetSessions(
        {{7, L"bob", WTSDisconnected, L"tty3"}, {3, L"alice", WTSActive, L"pts/0"}});
    EXPECT_EQ(Enumerate(),
              (std::vector<Listed>{{3, L"pts/0", WTSActive}, {7, L"tty3", WTSDisconnected}}));
    EXPECT_EQ(UserOf(3), L"alice");
    EXPECT_EQ(UserOf(4), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CTX_WINSTATION_NOT_FOUND));

    WtsMemory<WCHAR> state;
    DWORD bytes = 0;
    ASSERT_TRUE(WTSQuerySessionInformationW(nullptr, 7, WTSConnectState, state.put(), &bytes));
    EXPECT_EQ(bytes, sizeof(INT));
    EXPECT_EQ(*reinterpret_cast<const INT*>(state.get()), WTSDisconnected);

    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    EXPECT_FALSE(WTSEnumerateSessionsW(nullptr, 0, 2, &list, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WTSEnumerateSessionsW(reinterpret_cast<HANDLE>(8), 0, 1, &list, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WTSQuerySessionInformationW(nullptr, 3, WTSClientAddress, state.put(), &bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(SessionsTest, LogindSessionFilesAreTheLoginSessions) {
    const std::string directory = m_files.Path("sessions");
    std::filesystem::create_directory(directory);
    m_files.Write("sessions/2",
                  "# This is private data. Do not parse.\nUID=1000\nUSER=alice\nACTIVE=1\n"
                  "STATE=active\nTTY=tty2\n");
    m_files.Write("sessions/5", "UID=0\nSTATE=online\nSERVICE=sshd\n");
    m_files.Write("sessions/6", "UID=0\nUSER=root\nSTATE=closing\n");
    m_files.Write("sessions/c1", "USER=gdm\nSTATE=active\n");  // not a numeric id
    m_files.Write("sessions/8", "USER=eve\nSTATE=strange\n");
    ASSERT_EQ(mkfifo((directory + "/2.ref").c_str(), 0600), 0);  // logind's FIFOs are never read
    winport::testing::SetLogindSessionsDirectory(directory);

    EXPECT_EQ(Enumerate(),
              (std::vector<Listed>{
                  {2, L"tty2", WTSActive}, {5, L"sshd", WTSDisconnected}, {6, L"", WTSDown}}));
    EXPECT_EQ(UserOf(2), L"alice");
    EXPECT_EQ(UserOf(5), L"root");  // from the account of UID 0

    // A declared session replaces logind's with the same id and is read again when it changes.
    const std::string declared = m_files.Write("declared.json", R"({"sessions": [
        {"id": 5, "user": "dave", "state": "active", "station": "RDP-Tcp#1"}, {"id": 9, "state": "listen"}]})");
    std::string error;
    ASSERT_TRUE(winport::DeclareSessionsFile(declared, error)) << error;
    EXPECT_EQ(Enumerate(), (std::vector<Listed>{{2, L"tty2", WTSActive},
                                                {5, L"RDP-Tcp#1", WTSActive},
                                                {6, L"", WTSDown},
                                                {9, L"", WTSListen}}));
    EXPECT_EQ(UserOf(9), L"");
    m_files.Replace("declared.json",
                    R"({"sessions": [{"id": 5, "user": "dave", "state": "disconnected"}]})");
    EXPECT_EQ(Enumerate()[1], (Listed{5, L"", WTSDisconnected}));
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
    winport::testing::SetLogindSessionsDirectory(m_files.Path("none"));
    EXPECT_TRUE(Enumerate().empty());
}

}  // namespace
}  // namespace dorn::test
