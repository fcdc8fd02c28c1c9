#include "DornHelpDeskOperation.h"

#include "LogMessage.h"

namespace {

constexpr int32_t kErrorCallNotImplemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED

// DispatchOpcode ends a handler's exception as that operation's own failure; this catches what
// the dispatch itself may throw (memory exhausted), so nothing unwinds into the framework. The
// reply then says only that the request failed.
bool DispatchGuarded(DornHelpDeskOperation& worker, const CORE::PropertyBag& request,
                     CORE::PropertyBag& reply) {
    try {
        return worker.DispatchOpcode(request, reply);
    } catch (...) {
        reply = CORE::PropertyBag();
        return false;
    }
}

}  // namespace

DornHelpDeskOperation::~DornHelpDeskOperation() = default;

bool DornHelpDeskOperation::MessageHandler(const CORE::corestring<wchar_t>& operation,
                                           const CORE::PropertyBag& request,
                                           CORE::PropertyBag& reply) {
    if (!BeginOperation(operation, request, reply)) return false;

    bool result = false;
    if (operation.comparei(L"HelpdeskOperation") == 0) {
        result = DispatchGuarded(*this, request, reply);
    } else {
        LogMessage(CORE::SysMessageDebug, L"Service operation: %s NOT IMPLEMENTED",
                   operation.c_str());
        reply.setError(kErrorCallNotImplemented, nullptr);
    }
    EndOperation();
    return result;
}

void DornHelpDeskOperation::AbortHandler() {
    StopKeepWorkItem(true, nullptr);
}

CORE::WorkItem* CreateHelpDeskOperation() {
    return new DornHelpDeskOperation();
}
