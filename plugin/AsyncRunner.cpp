#include "AsyncRunner.h"

#include "ProtocolMetrics.h"
#include "CoreRunnable.h"
#include "DornHelpDeskOperation.h"
#include "LogMessage.h"

std::atomic<int32_t> AsyncThreadSlots{kAsyncThreadLimit};

namespace {

constexpr char kAsyncThreadName[] = "HelpdeskAsync";

// The held request must be answered whatever happens: an exception (memory exhausted, a text
// with no narrow form) ends it as the operation's own failure. What the exception says is
// internal and never reaches the console.
bool RunOperationGuarded(DornHelpDeskOperation* worker,
                         const DornHelpDeskOperation::AsyncOperation& operation,
                         CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    try {
        return operation(worker, request, reply);
    } catch (...) {
    }
    reply.clear();
    LogMessage(CORE::SysMessageError, L"GetProtocolMetrics: failed to get protocol metrics");
    reply.setError(L"failed to get protocol metrics");
    return false;
}

}  // namespace

bool DornHelpDeskOperation::RunAsync(const CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    // A value below 1 means no slot: it is negative while other refused requests are between
    // their decrement and their increment.
    if (AsyncThreadSlots.fetch_sub(1) <= 0) {
        AsyncThreadSlots.fetch_add(1);
        reply.setError(L"No available aync threads for HelpDesk");
        return false;
    }
    if (!KeepWorkItem()) {
        AsyncThreadSlots.fetch_add(1);
        return false;
    }
    AddRef();  // the thread's reference
    m_request = request;
    m_asyncOperation = &DornHelpDeskOperation::GetProtocolMetrics;

    auto* runner = new CORE::corerun(kAsyncThreadName, 0, nullptr,
                                     CORE::corerunnable_defaultThreadWrapper.load(),
                                     &AsyncOperationThread, this);
    const bool started = runner->start();
    runner->Release();
    if (!started) {
        // The thread would have answered the held request, released the worker and given the
        // slot back; without it this call does all three. The reply carries no error text, as
        // the request itself was fine; the reason is in the runner's log line.
        m_asyncOperation = nullptr;
        StopKeepWorkItem(false, &reply);
        Release();
        AsyncThreadSlots.fetch_add(1);
    }
    return started;
}

void AsyncOperationThread(void* argument) {
    auto* worker = static_cast<DornHelpDeskOperation*>(argument);
    CORE::PropertyBag reply;
    const bool result =
        RunOperationGuarded(worker, worker->m_asyncOperation, worker->m_request, reply);
    // The framework copies the reply during this call; the bag may go afterwards.
    worker->StopKeepWorkItem(result, &reply);
    worker->Release();
    AsyncThreadSlots.fetch_add(1);
}

bool DornHelpDeskOperation::GetProtocolMetrics(CORE::PropertyBag& request,
                                               CORE::PropertyBag& reply) {
    const int32_t sessionId = request.getInt(L"SESSIONID", -1);
    if (sessionId == -1) {
        LogMessage(CORE::SysMessageError, L"GetProtocolMetrics: no session Id specified");
        reply.setError(L"no session Id specified");
        return false;
    }
    if (BuildProtocolReply(sessionId, reply)) return true;
    LogMessage(CORE::SysMessageError, L"GetProtocolMetrics: failed to get protocol metrics");
    reply.setError(L"failed to get protocol metrics");
    return false;
}
