#include "AgentHost.h"

#include <chrono>
#include <filesystem>
#include <vector>

#include "RegFile.h"
#include "PerfmonWorker.h"
#include "PluginLibrary.h"
#include "Utf8Path.h"
#include "quillmesh/Framework.h"

#if !defined(_WIN32)
#include <winport/publish.h>
#endif

namespace {

constexpr const wchar_t* kWorkerName = L"AgentHelpDesk";
// The plug-in reads the English counter names from the machine's registry when it loads; the
// private registry that --registry files go into keeps them.
const std::vector<std::wstring> kCarriedMachineValues = {
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009\\Counter"};

// Every file is parsed before any is applied, so a bad file leaves the registry as it was.
bool ParseRegistryFiles(const std::vector<std::filesystem::path>& files,
                        std::vector<dorn::RegFile>& parsed, std::string& error) {
    parsed.assign(files.size(), {});
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!dorn::LoadRegFile(files[i], parsed[i], reason)) {
            error = "--registry " + Utf8FromPath(files[i]) + ": " + reason;
            return false;
        }
    }
    return true;
}

bool ApplyRegistryFiles(const std::vector<std::filesystem::path>& files,
                        const std::vector<dorn::RegFile>& parsed, std::string& error) {
    for (size_t i = 0; i < files.size(); ++i) {
        std::string reason;
        if (!dorn::ApplyRegFile(parsed[i], reason)) {
            error = "--registry " + Utf8FromPath(files[i]) + ": " + reason;
            return false;
        }
    }
    return true;
}

#if !defined(_WIN32)
bool Refused(const std::string& option, std::string& error) {
    error = option + ": " + error;
    return false;
}
#endif

// On Linux the display protocols' counters and the login sessions come from files; on Windows
// the system supplies both and the options are refused.
bool PublishMachineFiles(const HostOptions& options, std::string& error) {
#if defined(_WIN32)
    if (!options.counterFiles.empty() || !options.sessionsFiles.empty()) {
        error = "--counters and --sessions exist only in the Linux build";
        return false;
    }
    return true;
#else
    // winport reads them itself, again whenever they change, with the same refusal of what is
    // not a regular file of at most 64 MiB; its reason names the file.
    for (const auto& file : options.counterFiles) {
        if (!winport::PublishCounterFile(file.string(), error)) return Refused("--counters", error);
    }
    for (const auto& file : options.sessionsFiles) {
        if (!winport::DeclareSessionsFile(file.string(), error))
            return Refused("--sessions", error);
    }
    return true;
#endif
}

// The loader opens the plug-in itself, and would wait for ever on a pipe: --plugin names a
// regular file or is refused. The check is of the path, not of what the loader then opens; the
// directory that holds the plug-in is trusted not to change it in between.
bool IsRegularFile(const std::filesystem::path& plugin, std::string& error) {
    std::error_code failure;
    if (std::filesystem::is_regular_file(plugin, failure)) return true;
    error = "cannot load the plug-in " + Utf8FromPath(plugin) + ": " +
            (failure ? failure.message() : "not a regular file");
    return false;
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

int StartFailureStatus(HostStart start) {
    return start == HostStart::BadInput ? 2 : 1;
}

AgentHost::AgentHost(const HostOptions& options)
    : m_options(options), m_log(std::make_shared<quillmesh::StderrSink>(options.logLevel)) {}

AgentHost::~AgentHost() {
    Stop();
}

HostStart AgentHost::Start(std::string& error) {
    std::vector<dorn::RegFile> registryFiles;
    if (!ParseRegistryFiles(m_options.registryFiles, registryFiles, error)) {
        return HostStart::BadInput;
    }
    // Registry files never reach the machine's own registry.
    if (!registryFiles.empty() && !m_machineRegistry.Open(kCarriedMachineValues, error)) {
        return HostStart::Failed;
    }
    if (!ApplyRegistryFiles(m_options.registryFiles, registryFiles, error) ||
        !PublishMachineFiles(m_options, error)) {
        return HostStart::BadInput;
    }
    if (m_options.pluginPath && !IsRegularFile(*m_options.pluginPath, error)) {
        return HostStart::Failed;
    }
    m_plugin = std::make_unique<PluginLibrary>();
    if (!m_plugin->Load(m_options.pluginPath.value_or(PluginLibrary::DefaultPath()), error)) {
        return HostStart::Failed;
    }
    // The plug-in waits for the monitor during PluginInit; it exists before then.
    m_perfmon =
        std::make_unique<PerfmonWorker>(std::chrono::seconds(m_options.perfmonIntervalSeconds));
    m_perfmon->Register();
    m_plugin->Init();
    return HostStart::Started;
}

HostAnswer AgentHost::Send(const std::wstring& operation, const CORE::PropertyBag& request,
                           DWORD timeoutMs) {
    HostAnswer answer;
    const CORE::ResponseType response = CORE::Quillmesh::System()->SendMsg(
        kWorkerName, operation.c_str(), request, answer.reply, nullptr, nullptr, nullptr, timeoutMs,
        nullptr, nullptr, true, nullptr, nullptr, false);
    answer.failure = DescribeFailure(response);
    answer.result = response == CORE::ResponseOk;
    return answer;
}

void AgentHost::Stop() {
    if (m_stopped || !m_plugin) return;
    m_stopped = true;
    // Requests still held are abandoned before the plug-in is unloaded.
    if (m_perfmon) m_perfmon->Stop();
    CORE::Quillmesh::System()->Shutdown();
}
