// The worker "AgentHelpDesk": one DornHelpDeskOperation per request, created by the framework
// through CreateHelpDeskOperation.
#pragma once

#include <functional>

#include "plugin/quillmesh/Framework.h"

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

private:
    friend CORE::WorkItem* CreateHelpDeskOperation();
    DornHelpDeskOperation() = default;

    // Kept for an operation that answers from another thread; empty otherwise.
    CORE::PropertyBag m_request;
    AsyncOperation m_asyncOperation;
};

// The worker factory registered with the framework.
CORE::WorkItem* CreateHelpDeskOperation();
