// Routes a "HelpdeskOperation" request to the handler of its "opcode".
#include <cstdint>

#include "plugin/DornHelpDeskOperation.h"
#include "plugin/LogMessage.h"
#include "process/ProcessMetrics.h"
#include "process/ProcessTerminator.h"
#include "session/ClientInfo.h"
#include "session/LogonTimeInfo.h"
#include "session/VexelTelemetry.h"

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

    // "Performance" comes first in the console's table; its handler is not part of this build
    // yet and falls through to "Invalid opcode".

    if (opcode == L"ProcessMetrics") return HandleProcessMetrics(request, reply);

    if (opcode == L"ClientInfo") {
        if (!ReadSessionId(request, reply, L"ClientInfo: no session Id specified", sessionId)) {
            return false;
        }
        if (GetClientInfo(sessionId, reply)) return true;
        reply.setError(L"failed to get client info");
        return false;
    }

    // "HistoricalMetrics" and "ProtocolInfo": not part of this build yet.

    if (opcode == L"LogonTimeInfo") {
        if (!ReadSessionId(request, reply, L"GetLogonTimeInfo: no session Id specified",
                           sessionId)) {
            return false;
        }
        if (GetLogonTimeInfo(sessionId, reply)) return true;
        LogMessage(CORE::SysMessageError, L"GetLogonTimeInfo: failed to get log on time info");
        reply.setError(L"failed to get logon time metrics");
        return false;
    }

    if (opcode == L"EndProcess") return ProcessTerminator::EndProcess(request, reply);

    // "NewDataFromTrelPerfmon": not part of this build yet.

    if (opcode == L"VexelTelemetry") {
        if (!ReadSessionId(request, reply, L"VexelTelemetry: no session Id specified",
                           sessionId)) {
            return false;
        }
        if (GetVexelTelemetry(sessionId, reply)) return true;
        reply.setError(L"failed to get vexel telemetry");
        return false;
    }

    reply.setError(L"Invalid opcode");
    return false;
}
