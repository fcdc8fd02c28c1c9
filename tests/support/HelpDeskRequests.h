// Drives the worker the way the framework does: one work item per request, or a request sent
// through the framework to the registered worker.
#pragma once

#include <string>

#include "DornHelpDeskOperation.h"
#include "quillmesh/Framework.h"

namespace dorn::test {

inline const std::wstring kSettingsKey = L"Software\\Zentavo\\Pallido\\Plugins\\dorn\\helpdesk";

struct Answer {
    bool result = false;
    CORE::PropertyBag reply;
};

inline Answer Handle(const CORE::PropertyBag& request,
                     const wchar_t* operation = L"HelpdeskOperation") {
    CORE::WorkItem* worker = CreateHelpDeskOperation();
    Answer answer;
    answer.result = worker->MessageHandler(operation, request, answer.reply);
    worker->Release();
    return answer;
}

inline CORE::PropertyBag Request(const wchar_t* opcode) {
    CORE::PropertyBag request;
    request.add(L"opcode", opcode);
    return request;
}

inline CORE::PropertyBag SessionRequest(const wchar_t* opcode, int32_t sessionId) {
    CORE::PropertyBag request = Request(opcode);
    request.addInt(L"SESSIONID", sessionId);
    return request;
}

// A "HelpdeskOperation" to the registered "AgentHelpDesk", waiting for the answer.
inline CORE::ResponseType SendToHelpDesk(const CORE::PropertyBag& request, CORE::PropertyBag& reply,
                                         DWORD timeoutMs = INFINITE) {
    return CORE::Quillmesh::System()->SendMsg(L"AgentHelpDesk", L"HelpdeskOperation", request,
                                              reply, nullptr, nullptr, nullptr, timeoutMs, nullptr,
                                              nullptr, true, nullptr, nullptr, false);
}

}  // namespace dorn::test
