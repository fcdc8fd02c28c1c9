// Sessions files as winport loads them: the bytes of one file to the terminal-services sessions
// it declares.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "SessionRecords.h"

namespace {

using dorn::fuzz::Require;
using winport::SessionRecord;

bool WithoutNul(const std::wstring& text) {
    return text.find(L'\0') == std::wstring::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<SessionRecord> sessions{{7, L"before", WTSIdle, L""}};
    std::string reason;
    if (!winport::ParseSessionsFile(text, sessions, reason)) {
        Require(!reason.empty(), "a refused file says why");
        Require(sessions.size() == 1 && sessions[0].user == L"before",
                "a refused file declares nothing");
        return 0;
    }
    Require(sessions.size() <= size, "no more sessions than bytes");
    for (size_t i = 0; i < sessions.size(); ++i) {
        const SessionRecord& session = sessions[i];
        Require(session.id != WTS_CURRENT_SESSION, "no session takes the id of the current one");
        Require(i == 0 || sessions[i - 1].id < session.id, "sessions by ascending, distinct ids");
        Require(session.state >= WTSActive && session.state <= WTSInit,
                "a state is one that WTS names");
        Require(WithoutNul(session.user) && WithoutNul(session.station), "names hold no NUL");
    }
    return 0;
}
