// The worker "AgentHelpDesk": one DornHelpDeskOperation per request, created by the framework
// through CreateHelpDeskOperation.
#pragma once

#include <functional>

#include "quillmesh/Framework.h"

class DornHelpDeskOperation : public CORE::serviceOperation {
  public:
    using AsyncOperation =
        std::function<bool(DornHelpDeskOperation*, CORE::PropertyBag&, CORE::PropertyBag&)>;

    ~DornHelpDeskOperation() override;

    bool MessageHandler(const CORE::corestring<wchar_t>& operation,
                        const CORE::PropertyBag& request, CORE::PropertyBag& reply) override;
    void AbortHandler() override;

    // Routes a "HelpdeskOperation" request by its "opcode".
    bool DispatchOpcode(const CORE::PropertyBag& request, CORE::PropertyBag& reply);

    // "ProtocolInfo": holds the request back and answers it from a "HelpdeskAsync" thread.
    bool RunAsync(const CORE::PropertyBag& request, CORE::PropertyBag& reply);
    // The protocol statistics of the request's "SESSIONID"; runs on that thread.
    bool GetProtocolMetrics(CORE::PropertyBag& request, CORE::PropertyBag& reply);

  private:
    friend CORE::WorkItem* CreateHelpDeskOperation();
    friend void AsyncOperationThread(void* worker);
    DornHelpDeskOperation() = default;

    // Kept for an operation that answers from another thread; empty otherwise.
    CORE::PropertyBag m_request;
    AsyncOperation m_asyncOperation;
};

// The body of a "HelpdeskAsync" thread; `worker` is the DornHelpDeskOperation it answers for.
void AsyncOperationThread(void* worker);

// The worker factory registered with the framework.
CORE::WorkItem* CreateHelpDeskOperation();
