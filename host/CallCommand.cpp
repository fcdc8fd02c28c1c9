#include "host/CallCommand.h"

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "framework/BagJson.h"
#include "framework/LogSink.h"
#include "framework/RegFile.h"
#include "host/PluginLibrary.h"
#include "plugin/quillmesh/Framework.h"

namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;
constexpr const wchar_t* kWorkerName = L"AgentHelpDesk";

std::wstring Wide(const std::string& utf8) {
    return CORE::corestring<char>(utf8)._wstr(CP_UTF8);
}

// Every file is parsed before any is applied, so a bad file leaves the registry as it was.
bool LoadRegistryFiles(const std::vector<std::filesystem::path>& files, std::string& error) {
    std::vector<quillmesh::RegFile> parsed(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!quillmesh::LoadRegFile(files[i], parsed[i], reason)) {
            error = files[i].string() + ": " + reason;
            return false;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!quillmesh::ApplyRegFile(parsed[i], reason)) {
            error = files[i].string() + ": " + reason;
            return false;
        }
    }
    return true;
}

bool BuildRequest(const CallOptions& options, CORE::PropertyBag& request, std::string& error) {
    if (options.requestJson) {
        if (!quillmesh::JsonToBag(*options.requestJson, request, error)) {
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

const char* DescribeFailure(CORE::ResponseType response) {
    switch (response) {
        case CORE::ResponseNoWorker:
            return "the plug-in registered no worker \"AgentHelpDesk\"";
        case CORE::ResponseTimeout:
            return "the request was not answered in time";
        case CORE::ResponseAborted:
            return "the request was abandoned";
        default:
            return nullptr;
    }
}

}  // namespace

int RunCall(const CallOptions& options) {
    quillmesh::ScopedLogSink log(std::make_shared<quillmesh::StderrSink>(options.logLevel));

    std::string error;
    CORE::PropertyBag request;
    if (!BuildRequest(options, request, error) || !LoadRegistryFiles(options.registryFiles, error)) {
        std::cerr << "dorn: " << error << "\n";
        return kExitUsage;
    }

    int status = kExitFalse;
    {
        PluginLibrary plugin;
        if (!plugin.Load(options.pluginPath.value_or(PluginLibrary::DefaultPath()), error)) {
            std::cerr << "dorn: " << error << "\n";
            return kExitFalse;
        }
        plugin.Init();

        CORE::PropertyBag reply;
        const std::wstring operation = Wide(options.operation);
        const CORE::ResponseType response = CORE::Quillmesh::System()->SendMsg(
            kWorkerName, operation.c_str(), request, reply, nullptr, nullptr, nullptr, INFINITE,
            nullptr, nullptr, true, nullptr, nullptr, false);
        if (const char* failure = DescribeFailure(response)) {
            std::cerr << "dorn: " << failure << "\n";
        } else {
            const bool result = response == CORE::ResponseOk;
            std::cout << quillmesh::ReplyToJson(result, reply) << std::endl;
            status = result ? kExitTrue : kExitFalse;
        }
        // Requests still held are abandoned before the plug-in is unloaded.
        CORE::Quillmesh::System()->Shutdown();
    }
    return status;
}
