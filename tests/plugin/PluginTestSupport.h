// Drives the worker the way the framework does: one work item per request.
#pragma once

#include <string>

#include "plugin/DornHelpDeskOperation.h"

namespace dorn::test {

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

}  // namespace dorn::test
