#include "host/CallCommand.h"

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "framework/BagJson.h"
#include "framework/LogSink.h"
#include "framework/PrivateMachineRegistry.h"
#include "framework/RegFile.h"
#include "host/PerfmonWorker.h"
#include "host/PluginLibrary.h"
#include "host/Utf8Path.h"
#include "plugin/quillmesh/Framework.h"

#if !defined(_WIN32)
#include <winport/publish.h>
#endif

namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;
constexpr const wchar_t* kWorkerName = L"AgentHelpDesk";
// The plug-in reads the English counter names from the machine's registry when it loads; the
// private registry that --registry files go into keeps them.
const std::vector<std::wstring> kCarriedMachineValues = {
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009\\Counter"};

std::wstring Wide(const std::string& utf8) {
    return CORE::corestring<char>(utf8)._wstr(CP_UTF8);
}

// Every file is parsed before any is applied, so a bad file leaves the registry as it was.
bool ParseRegistryFiles(const std::vector<std::filesystem::path>& files,
                        std::vector<quillmesh::RegFile>& parsed, std::string& error) {
    parsed.assign(files.size(), {});
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!quillmesh::LoadRegFile(files[i], parsed[i], reason)) {
            error = Utf8FromPath(files[i]) + ": " + reason;
            return false;
        }
    }
    return true;
}

bool ApplyRegistryFiles(const std::vector<std::filesystem::path>& files,
                        const std::vector<quillmesh::RegFile>& parsed, std::string& error) {
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!quillmesh::ApplyRegFile(parsed[i], reason)) {
            error = Utf8FromPath(files[i]) + ": " + reason;
            return false;
        }
    }
    return true;
}

// On Linux the display protocols' counters and the login sessions come from files; on Windows
// the system supplies both and the options are refused.
bool PublishMachineFiles(const CallOptions& options, std::string& error) {
#if defined(_WIN32)
    if (!options.counterFiles.empty() || !options.sessionsFiles.empty()) {
        error = "--counters and --sessions exist only in the Linux build";
        return false;
    }
    return true;
#else
    for (const auto& file : options.counterFiles) {
        if (!winport::PublishCounterFile(file.string(), error)) return false;
    }
    for (const auto& file : options.sessionsFiles) {
        if (!winport::DeclareSessionsFile(file.string(), error)) return false;
    }
    return true;
#endif
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
    std::vector<quillmesh::RegFile> registryFiles;
    if (!BuildRequest(options, request, error) ||
        !ParseRegistryFiles(options.registryFiles, registryFiles, error)) {
        std::cerr << "dorn: " << error << "\n";
        return kExitUsage;
    }
    // Registry files never reach the machine's own registry. Made before the plug-in is loaded
    // and ended after it is unloaded.
    quillmesh::PrivateMachineRegistry machineRegistry;
    if (!registryFiles.empty() && !machineRegistry.Open(kCarriedMachineValues, error)) {
        std::cerr << "dorn: " << error << "\n";
        return kExitFalse;
    }
    if (!ApplyRegistryFiles(options.registryFiles, registryFiles, error) ||
        !PublishMachineFiles(options, error)) {
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
        // The plug-in waits for the monitor during PluginInit; it exists before then. It ends
        // before the plug-in is unloaded.
        PerfmonWorker perfmon(std::chrono::seconds(options.perfmonIntervalSeconds));
        perfmon.Register();
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
        perfmon.Stop();
        CORE::Quillmesh::System()->Shutdown();
    }
    return status;
}
