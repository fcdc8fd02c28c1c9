// Routes a "HelpdeskOperation" request to the handler of its "opcode".
#include <cstdint>

#include "HistoricalCollector.h"
#include "PerformanceCollector.h"
#include "DornHelpDeskOperation.h"
#include "LogMessage.h"
#include "RunHandler.h"
#include "ProcessMetrics.h"
#include "ProcessTerminator.h"
#include "ClientInfo.h"
#include "LogonTimeInfo.h"
#include "VexelTelemetry.h"

namespace {

// Reads "SESSIONID"; when the request holds none (-1) logs the operation's own line and answers
// "no session Id specified".
bool ReadSessionId(const CORE::PropertyBag& request, CORE::PropertyBag& reply,
                   const wchar_t* missingIdLog, int32_t& sessionId) {
    sessionId = request.getInt(L"SESSIONID", -1);
    if (sessionId != -1) return true;
    LogMessage(CORE::SysMessageError, missingIdLog);
    reply.setError(L"no session Id specified");
    return false;
}

}  // namespace

bool DornHelpDeskOperation::DispatchOpcode(const CORE::PropertyBag& request,
                                           CORE::PropertyBag& reply) {
    const CORE::corestring<wchar_t> opcode = request.get(L"opcode", L"");
    int32_t sessionId = -1;

    if (opcode == L"Performance") {
        return RunHandler(reply, L"Failed to handle performance request", [&] {
            return PerformanceCollector::Instance().HandlePerformanceRequest(request, reply);
        });
    }

    if (opcode == L"ProcessMetrics") {
        return RunHandler(reply, L"Failed to handle process performance request",
                          [&] { return HandleProcessMetrics(request, reply); });
    }

    if (opcode == L"ClientInfo") {
        if (!ReadSessionId(request, reply, L"ClientInfo: no session Id specified", sessionId)) {
            return false;
        }
        if (RunHandler(reply, nullptr, [&] { return GetClientInfo(sessionId, reply); })) {
            return true;
        }
        reply.setError(L"failed to get client info");
        return false;
    }

    if (opcode == L"HistoricalMetrics") {
        if (!ReadSessionId(request, reply, L"GetHistoricalMetrics: no session Id specified",
                           sessionId)) {
            return false;
        }
        return RunHandler(reply, nullptr, [&] {
            HistoricalCollector::Instance().BuildHistoricalReply(sessionId, reply);
            return true;
        });
    }

    // A request that cannot be held back fails without a text.
    if (opcode == L"ProtocolInfo") {
        return RunHandler(reply, nullptr, [&] { return RunAsync(request, reply); });
    }

    if (opcode == L"LogonTimeInfo") {
        if (!ReadSessionId(request, reply, L"GetLogonTimeInfo: no session Id specified",
                           sessionId)) {
            return false;
        }
        if (RunHandler(reply, nullptr, [&] { return GetLogonTimeInfo(sessionId, reply); })) {
            return true;
        }
        LogMessage(CORE::SysMessageError, L"GetLogonTimeInfo: failed to get log on time info");
        reply.setError(L"failed to get logon time metrics");
        return false;
    }

    // Failures other than a refusal leave the reply untouched.
    if (opcode == L"EndProcess") {
        return RunHandler(reply, nullptr,
                          [&] { return ProcessTerminator::EndProcess(request, reply); });
    }

    if (opcode == L"NewDataFromTrelPerfmon") {
        return RunHandler(reply, nullptr, [&] {
            HistoricalCollector::Instance().AddMonitorData(request, reply);
            return true;
        });
    }

    if (opcode == L"VexelTelemetry") {
        if (!ReadSessionId(request, reply, L"VexelTelemetry: no session Id specified", sessionId)) {
            return false;
        }
        if (RunHandler(reply, nullptr, [&] { return GetVexelTelemetry(sessionId, reply); })) {
            return true;
        }
        reply.setError(L"failed to get vexel telemetry");
        return false;
    }

    reply.setError(L"Invalid opcode");
    return false;
}
