// The worker's entry: operation names, opcodes, the session id check and the error texts that
// the console shows.
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <new>
#include <stdexcept>

#include "RunHandler.h"
#include "Bags.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "HelpDeskRequests.h"

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

// The nine opcodes in dispatch order. Each row: the level-4 line when the opcode needs
// "SESSIONID" and has none; a request that reaches the handler and shows it was reached (session
// rows get "SESSIONID" added: a session without a registry key); what the request then ends in.
struct OpcodeRow {
    const wchar_t* opcode;
    const wchar_t* missingIdLog;  // null: no session id needed
    const char* probe;
    bool result;
    const wchar_t* errorText;
    std::vector<std::wstring> logAfterOpen;  // session rows that open the session's key
};

const OpcodeRow kOpcodes[] = {
    {L"Performance",
     nullptr,
     R"({"opcode": "Performance", "timestamp": -1})",
     false,
     L"invalid timestamp",
     {}},
    {L"ProcessMetrics",
     nullptr,
     R"({"opcode": "ProcessMetrics", "SESSIONID": 0, "processFilter": {"processSessionFilter": "X"}})",
     false,
     L"Failed to filter process by session",
     {}},
    {L"ClientInfo",
     L"ClientInfo: no session Id specified",
     R"({"opcode": "ClientInfo"})",
     false,
     L"failed to get client info",
     {}},
    {L"HistoricalMetrics",
     L"GetHistoricalMetrics: no session Id specified",
     R"({"opcode": "HistoricalMetrics"})",
     true,
     L"",
     {}},
    // Outside the framework the request cannot be held back: false without a text.
    {L"ProtocolInfo", nullptr, R"({"opcode": "ProtocolInfo"})", false, L"", {}},
    {L"LogonTimeInfo",
     L"GetLogonTimeInfo: no session Id specified",
     R"({"opcode": "LogonTimeInfo"})",
     false,
     L"failed to get logon time metrics",
     {L"Failed to get logon time info from registry",
      L"GetLogonTimeInfo: failed to get log on time info"}},
    {L"EndProcess", nullptr, R"({"opcode": "EndProcess"})", false, L"", {}},
    {L"NewDataFromTrelPerfmon", nullptr, R"({"opcode": "NewDataFromTrelPerfmon"})", true, L"", {}},
    {L"VexelTelemetry",
     L"VexelTelemetry: no session Id specified",
     R"({"opcode": "VexelTelemetry"})",
     false,
     L"failed to get vexel telemetry",
     {L"Failed to get current topology info from registry"}},
};

CORE::PropertyBag Parsed(const char* json) {
    CORE::PropertyBag bag;
    std::string error;
    EXPECT_TRUE(dorn::JsonToBag(json, bag, error)) << error;
    return bag;
}

TEST_F(DispatchTest, OnlyTheSessionRowsRefuseARequestWithoutSessionId) {
    ASSERT_EQ(std::size(kOpcodes), 9u);
    for (const OpcodeRow& row : kOpcodes) {
        if (row.missingIdLog == nullptr) continue;
        CORE::PropertyBag textId = Request(row.opcode);
        textId.add(L"SESSIONID", L"3");  // text where an integer is read: the reader's default
        for (const CORE::PropertyBag& request :
             {Request(row.opcode), SessionRequest(row.opcode, -1), textId}) {
            SCOPED_TRACE(Json(request));
            m_log.Clear();
            const Answer answer = Handle(request);
            EXPECT_FALSE(answer.result);
            EXPECT_EQ(answer.reply.getErrorText(), L"no session Id specified");
            EXPECT_EQ(m_log.Messages(), std::vector<std::wstring>{row.missingIdLog});
            EXPECT_EQ(m_log.Records().at(0).level, 4);
        }
    }
}

// The sibling monitor, which a push finds not yet configured; it takes the configuration.
class MonitorStandIn : public CORE::WorkItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>&, const CORE::PropertyBag&,
                        CORE::PropertyBag&) override {
        return true;
    }
};

CORE::WorkItem* CreateMonitorStandIn() {
    return new MonitorStandIn;
}

// Any session id other than -1, session 0 and negative ones included, reaches the handler.
TEST_F(DispatchTest, EachOpcodeReachesItsHandlerWhoseFailureIsTheOperationsOwn) {
    CORE::Quillmesh* system = CORE::Quillmesh::System();
    ASSERT_TRUE(
        system->AddWorker(CreateMonitorStandIn, L"perfmon", L"", true, false, false, false));
    for (const OpcodeRow& row : kOpcodes) {
        const bool sessionRow = row.missingIdLog != nullptr;
        const std::vector<int32_t> ids = sessionRow
                                             ? std::vector<int32_t>{0, -2, 7, INT32_MIN, INT32_MAX}
                                             : std::vector<int32_t>{0};
        for (int32_t sessionId : ids) {
            CORE::PropertyBag request = Parsed(row.probe);
            if (sessionRow) request.addInt(L"SESSIONID", sessionId);
            SCOPED_TRACE(Json(request));
            m_log.Clear();
            const Answer answer = Handle(request);
            EXPECT_EQ(answer.result, row.result);
            EXPECT_EQ(answer.reply.getErrorText(), row.errorText);
            EXPECT_EQ(answer.reply.isError(), *row.errorText != L'\0');
            if (!sessionRow || row.result) continue;
            std::vector<std::wstring> expected = {L"Failed to open registry for sessionId=" +
                                                  std::to_wstring(sessionId) + L", error: 0x2"};
            expected.insert(expected.end(), row.logAfterOpen.begin(), row.logAfterOpen.end());
            EXPECT_EQ(m_log.Messages(), expected);
            for (const auto& record : m_log.Records()) EXPECT_EQ(record.level, 4);
        }
    }
    system->RemoveWorker(L"perfmon", true);
}

// Opcodes match exactly: another case, a space more, a missing or non-text opcode is invalid.
TEST_F(DispatchTest, AnyOtherOpcodeIsInvalidWithoutLogLine) {
    std::vector<CORE::PropertyBag> requests = {Request(L"Bogus"), Request(L"")};
    for (const OpcodeRow& row : kOpcodes) {
        std::wstring lower = row.opcode;
        std::wstring upper = row.opcode;
        for (wchar_t& c : lower) c = towlower(c);
        for (wchar_t& c : upper) c = towupper(c);
        for (const std::wstring& opcode : {lower, upper, std::wstring(row.opcode) + L" "}) {
            requests.push_back(SessionRequest(opcode.c_str(), 3));
        }
    }
    CORE::PropertyBag noOpcode;
    noOpcode.addInt(L"SESSIONID", 3);
    CORE::PropertyBag numericOpcode;
    numericOpcode.addInt(L"opcode", 3);
    requests.push_back(noOpcode);
    requests.push_back(numericOpcode);
    for (const CORE::PropertyBag& request : requests) {
        SCOPED_TRACE(Json(request));
        const Answer answer = Handle(request);
        EXPECT_FALSE(answer.result);
        EXPECT_EQ(answer.reply.getErrorText(), L"Invalid opcode");
        EXPECT_EQ(answer.reply.getErrorCode(), 0);
        EXPECT_EQ(KeysOf(answer.reply), std::vector<std::wstring>{});
    }
    EXPECT_TRUE(m_log.Records().empty());
}

// A handler that throws has failed: what it had added goes, the operation's own failure text
// (if any) takes its place, and the exception's reason is nowhere in the reply.
TEST_F(DispatchTest, AnExceptionInAHandlerIsTheOperationsOwnFailure) {
    const std::function<bool()> throwing[] = {
        []() -> bool { throw std::runtime_error("internal reason"); },
        []() -> bool { throw std::bad_alloc(); },
        []() -> bool { throw 42; },
    };
    for (const auto& handler : throwing) {
        for (const wchar_t* ownText :
             {L"Failed to handle performance request", (const wchar_t*)nullptr}) {
            CORE::PropertyBag reply;
            const bool result = RunHandler(reply, ownText, [&] {
                reply.add(L"partial", L"x");
                return handler();
            });
            EXPECT_FALSE(result);
            EXPECT_EQ(KeysOf(reply), std::vector<std::wstring>{});
            EXPECT_EQ(reply.isError(), ownText != nullptr);
            EXPECT_EQ(reply.getErrorText(), ownText ? ownText : L"");
        }
    }
    CORE::PropertyBag reply;
    EXPECT_TRUE(RunHandler(reply, L"unused", [&] {
        reply.add(L"kept", L"x");
        return true;
    }));
    EXPECT_EQ(Json(reply), R"({"kept": "x"})");
}

}  // namespace
}  // namespace dorn::test
