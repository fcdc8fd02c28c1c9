// The worker's entry: operation names, opcodes, the session id check and the error texts that
// the console shows.
#include <gtest/gtest.h>

#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {
namespace {

class DispatchTest : public ::testing::Test {
  protected:
    RegistrySandbox m_registry;
    LogCapture m_log;
};

TEST_F(DispatchTest, OperationNameIsMatchedWithoutCaseOverItsWholeLength) {
    const Answer lower = Handle(Request(L"Bogus"), L"helpdeskoperation");
    EXPECT_EQ(lower.reply.getErrorText(), L"Invalid opcode");

    for (const wchar_t* name : {L"HelpdeskOperations", L"Nope", L"Helpdesk", L""}) {
        m_log.Clear();
        const Answer answer = Handle(SessionRequest(L"ClientInfo", 3), name);
        EXPECT_FALSE(answer.result) << name;
        EXPECT_TRUE(answer.reply.isError());
        EXPECT_EQ(answer.reply.getErrorCode(), 120) << name;
        EXPECT_EQ(answer.reply.getErrorText(), L"");
        EXPECT_TRUE(answer.reply.empty());
        EXPECT_EQ(m_log.Messages(), std::vector<std::wstring>{std::wstring(L"Service operation: ") +
                                                              name + L" NOT IMPLEMENTED"});
        EXPECT_EQ(m_log.Records().at(0).level, 0);
    }
}

TEST_F(DispatchTest, UnknownMissingOrMiscasedOpcodeIsInvalidWithoutLogLine) {
    CORE::PropertyBag noOpcode;
    noOpcode.addInt(L"SESSIONID", 3);
    CORE::PropertyBag numericOpcode;
    numericOpcode.addInt(L"opcode", 3);
    for (const CORE::PropertyBag& request :
         {Request(L"Bogus"), Request(L""), Request(L"clientinfo"), Request(L"ClientInfo "),
          noOpcode, numericOpcode}) {
        const Answer answer = Handle(request);
        EXPECT_FALSE(answer.result);
        EXPECT_EQ(answer.reply.getErrorText(), L"Invalid opcode");
        EXPECT_EQ(answer.reply.getErrorCode(), 0);
    }
    EXPECT_TRUE(m_log.Records().empty());
}

struct SessionRow {
    const wchar_t* opcode;
    const wchar_t* missingIdLog;
    const wchar_t* failureText;
    std::vector<std::wstring> failureLogAfterOpen;  // after the line of the failed open
};

class SessionRowTest : public DispatchTest, public ::testing::WithParamInterface<SessionRow> {};

TEST_P(SessionRowTest, MissingSessionIdIsRefusedWithTheOperationsOwnLine) {
    const SessionRow& row = GetParam();
    CORE::PropertyBag textId = Request(row.opcode);
    textId.add(L"SESSIONID", L"3");  // text where an integer is read: the reader's default
    for (const CORE::PropertyBag& request :
         {Request(row.opcode), SessionRequest(row.opcode, -1), textId}) {
        m_log.Clear();
        const Answer answer = Handle(request);
        EXPECT_FALSE(answer.result);
        EXPECT_EQ(answer.reply.getErrorText(), L"no session Id specified");
        EXPECT_EQ(m_log.Messages(), std::vector<std::wstring>{row.missingIdLog});
        EXPECT_EQ(m_log.Records().at(0).level, 4);
    }
}

// Any other id, session 0 and negative ones included, reaches the handler, which fails here for
// want of the session's key and logs as each operation does.
TEST_P(SessionRowTest, OtherIdsReachTheHandlerWhichLogsItsFailure) {
    const SessionRow& row = GetParam();
    for (int32_t sessionId : {0, -2, 7, INT32_MIN, INT32_MAX}) {
        m_log.Clear();
        const Answer answer = Handle(SessionRequest(row.opcode, sessionId));
        EXPECT_FALSE(answer.result);
        EXPECT_EQ(answer.reply.getErrorText(), row.failureText);
        std::vector<std::wstring> expected = {L"Failed to open registry for sessionId=" +
                                              std::to_wstring(sessionId) + L", error: 0x2"};
        expected.insert(expected.end(), row.failureLogAfterOpen.begin(),
                        row.failureLogAfterOpen.end());
        EXPECT_EQ(m_log.Messages(), expected) << sessionId;
        for (const auto& record : m_log.Records()) EXPECT_EQ(record.level, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SessionRowTest,
    ::testing::Values(SessionRow{L"ClientInfo",
                                 L"ClientInfo: no session Id specified",
                                 L"failed to get client info",
                                 {}},
                      SessionRow{L"LogonTimeInfo",
                                 L"GetLogonTimeInfo: no session Id specified",
                                 L"failed to get logon time metrics",
                                 {L"Failed to get logon time info from registry",
                                  L"GetLogonTimeInfo: failed to get log on time info"}},
                      SessionRow{L"VexelTelemetry",
                                 L"VexelTelemetry: no session Id specified",
                                 L"failed to get vexel telemetry",
                                 {L"Failed to get current topology info from registry"}}),
    [](const auto& info) {
        return std::string(info.param.opcode, info.param.opcode + wcslen(info.param.opcode));
    });

}  // namespace
}  // namespace dorn::test
