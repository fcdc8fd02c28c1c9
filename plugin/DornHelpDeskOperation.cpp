#include "plugin/DornHelpDeskOperation.h"

#include <exception>
#include <new>

#include "plugin/LogMessage.h"

namespace {

constexpr int32_t kErrorCallNotImplemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED

// A handler that throws (a text with no form in the ANSI code page, memory exhausted) ends its
// request as a failure carrying the reason; nothing may unwind into the framework.
bool DispatchGuarded(DornHelpDeskOperation& worker, const CORE::PropertyBag& request,
                     CORE::PropertyBag& reply) {
    try {
        return worker.DispatchOpcode(request, reply);
    } catch (const std::bad_alloc&) {
        reply.setError(L"out of memory");
    } catch (const std::exception& error) {
        std::wstring text;
        for (const char* c = error.what(); *c != '\0'; ++c) text.push_back(static_cast<unsigned char>(*c));
        reply.setError(text.c_str());
    }
    return false;
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

void DornHelpDeskOperation::AbortHandler() { StopKeepWorkItem(true, nullptr); }

CORE::WorkItem* CreateHelpDeskOperation() { return new DornHelpDeskOperation(); }
