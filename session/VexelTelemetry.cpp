#include "VexelTelemetry.h"

#include <string>

#include "LogMessage.h"
#include "SessionRegistryKey.h"

bool GetVexelTelemetry(int32_t sessionId, CORE::PropertyBag& reply) {
    SessionRegistryKey key(sessionId);
    std::wstring topology;
    if (!key.ReadValue(kVexelTelemetryPattern, L"KestlClient_Current_Topology", topology)) {
        LogMessage(CORE::SysMessageError, L"Failed to get current topology info from registry");
        return false;
    }
    CORE::PropertyBag currentTopology;
    currentTopology.add(L"topology", topology);
    reply.addBag(L"current_topology", currentTopology, false);
    return true;
}
