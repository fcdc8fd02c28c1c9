#include "CallCommand.h"

#include <windows.h>

#include <iostream>

#include "BagJson.h"
#include "AgentHost.h"
#include "quillmesh/Framework.h"

namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;

std::wstring Wide(const std::string& utf8) {
    return CORE::corestring<char>(utf8)._wstr(CP_UTF8);
}

bool BuildRequest(const CallOptions& options, CORE::PropertyBag& request, std::string& error) {
    if (options.requestJson) {
        if (!dorn::JsonToBag(*options.requestJson, request, error)) {
            error = "--request: " + error;
            return false;
        }
        return true;
    }
    try {
        request.add(L"opcode", Wide(options.opcode));
        for (const RequestEntry& entry : options.entries) {
            const std::wstring key = Wide(entry.key);
            if (const auto* text = std::get_if<std::string>(&entry.value)) {
                request.add(key.c_str(), Wide(*text));
            } else if (const auto* small = std::get_if<int32_t>(&entry.value)) {
                request.addInt(key.c_str(), *small);
            } else {
                request.addInt64(key.c_str(), std::get<int64_t>(entry.value));
            }
        }
    } catch (const CORE::conversion_error&) {
        error = "the request's text is not valid UTF-8";
        return false;
    }
    return true;
}

bool ReadOperation(const CallOptions& options, std::wstring& operation, std::string& error) {
    if (CORE::detail::WideFromNarrow(options.operation, CP_UTF8, operation)) return true;
    error = "--operation is not valid UTF-8";
    return false;
}

}  // namespace

int RunCall(const CallOptions& options) {
    AgentHost host(options);
    std::string error;
    CORE::PropertyBag request;
    std::wstring operation;
    if (!ReadOperation(options, operation, error) || !BuildRequest(options, request, error)) {
        std::cerr << "dorn: " << error << "\n";
        return kExitUsage;
    }
    if (const HostStart start = host.Start(error); start != HostStart::Started) {
        std::cerr << "dorn: " << error << "\n";
        return StartFailureStatus(start);
    }
    const HostAnswer answer = host.Send(operation, request, INFINITE);
    if (answer.failure != nullptr) {
        std::cerr << "dorn: " << answer.failure << "\n";
        return kExitFalse;
    }
    std::cout << dorn::ReplyToJson(answer.result, answer.reply) << std::endl;
    return answer.result ? kExitTrue : kExitFalse;
}
