// CORE::WorkItem and CORE::MessageHandler: the framework side of a worker's items.
#include "quillmesh/WorkItem.h"

#include "Dispatcher.h"
#include "FrameworkLog.h"

namespace CORE {

ResponseType MessageHandler::SendMsg(const wchar_t* queue, const wchar_t* message,
                                     const PropertyBag& parameters, PropertyBag& reply,
                                     MessageCallback callback, void* context, void* channel,
                                     DWORD timeoutMs, const wchar_t* replyQueue,
                                     const wchar_t* targetMachine, bool waitForReply,
                                     PropertyBag* headers, void* userToken, bool broadcast) {
    if (channel || replyQueue || targetMachine || headers || userToken || broadcast) {
        quillmesh::FrameworkLog(4,
                                L"SendMsg to %s: remote delivery and broadcasts are not supported",
                                queue ? queue : L"(null)");
        if (waitForReply) reply.setError(ERROR_NOT_SUPPORTED, L"remote delivery is not supported");
        return ResponseFailed;
    }
    return quillmesh::Dispatcher::Instance().Send(queue, message, parameters, reply, callback,
                                                  context, timeoutMs, waitForReply);
}

WorkItem::WorkItem() : m_references(1) {}

WorkItem::~WorkItem() = default;

long WorkItem::AddRef() {
    return m_references.fetch_add(1, std::memory_order_relaxed) + 1;
}

long WorkItem::Release() {
    long remaining = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) delete this;
    return remaining;
}

bool WorkItem::MessageHandler(const corestring<wchar_t>& operation, const PropertyBag& request,
                              PropertyBag& reply) {
    reply.setError(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    return false;
}

void WorkItem::BroadcastMsg(const corestring<wchar_t>& queue, const corestring<wchar_t>& message,
                            PropertyBag& parameters) {}

bool WorkItem::EvalItem(WorkItem* first, WorkItem* second) {
    return false;
}

void WorkItem::StateHandler(int state) {}

// The framework has already answered the abandoned request; an item with work of its own
// in progress overrides this to stop it.
void WorkItem::AbortHandler() {}

void WorkItem::VisibilityHandler() {}

bool WorkItem::KeepWorkItem() {
    return quillmesh::Dispatcher::Instance().Keep(this);
}

void WorkItem::StopKeepWorkItem(bool success, const PropertyBag* reply) {
    quillmesh::Dispatcher::Instance().StopKeep(this, success, reply);
}

}  // namespace CORE
