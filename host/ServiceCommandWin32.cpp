// The Windows service "dorn": "dorn serve" run by the service control manager, as LocalSystem,
// started with Windows. Its stop and shutdown controls stop it as SIGTERM stops serve on Linux.
#include <windows.h>

#include <csignal>
#include <memory>
#include <iostream>
#include <mutex>
#include <sstream>

#include "LogSink.h"
#include "ServeCommand.h"
#include "ServiceCommand.h"
#include "ShutdownSignal.h"
#include "UniqueAny.h"
#include "UniqueHandle.h"

namespace {

constexpr const wchar_t* kServiceName = L"dorn";
constexpr const wchar_t* kDisplayName = L"dorn help-desk agent host";
constexpr const wchar_t* kDescription =
    L"Runs the help-desk plug-in and answers the help-desk console over HTTP (dorn serve).";
constexpr const wchar_t* kEventSource = L"dorn";
constexpr DWORD kEventId = 1;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// PluginInit may wait two minutes for "perfmon"; the start is given that and some.
constexpr DWORD kStartWaitHintMs = 130000;
// Open connections end within a few seconds of a stop.
constexpr DWORD kStopWaitHintMs = 30000;

struct EventSourceTraits : EmptyWhen<HANDLE> {
    static void Close(HANDLE source) { DeregisterEventSource(source); }
};

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
    return wide;
}

int Fail(const std::string& error, int status) {
    std::cerr << "dorn: " << error << "\n";
    return status;
}

std::string ManagerError(const std::string& what, DWORD code = GetLastError()) {
    std::string text = what + " (error " + std::to_string(code) + ")";
    if (code == ERROR_ACCESS_DENIED) text += "; run it as an administrator";
    return text;
}

// Quoted so that CommandLineToArgvW gives the argument back as it was: backslashes double only
// before a quote.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// "<dorn.exe>" service run [serve options]
std::wstring ServiceCommandLine(const ServiceOptions& options) {
    std::wstring line = QuoteArgument(ExecutablePath()) + L" service run";
    for (const std::string& argument : options.serveArguments) {
        line += L" " + QuoteArgument(Wide(argument));
    }
    return line;
}

int Install(const ServiceOptions& options) {
    const UniqueServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return Fail(ManagerError("cannot open the service control manager"), kExitFailed);
    const std::wstring commandLine = ServiceCommandLine(options);
    const UniqueServiceHandle service(
        CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_CHANGE_CONFIG,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_EXISTS) {
            return Fail("the service \"dorn\" is installed already; uninstall it first",
                        kExitFailed);
        }
        return Fail(ManagerError("cannot install the service \"dorn\""), kExitFailed);
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    std::cout << "dorn: installed the service \"dorn\"; start it with: sc start dorn\n";
    return kExitDone;
}

bool WaitUntilStopped(SC_HANDLE service) {
    SERVICE_STATUS status{};
    for (DWORD waited = 0; waited <= kStopWaitHintMs; waited += 250) {
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == SERVICE_STOPPED) return true;
        Sleep(250);
    }
    return false;
}

int Uninstall() {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return Fail(ManagerError("cannot open the service control manager"), kExitFailed);
    const UniqueServiceHandle service(
        OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return Fail("the service \"dorn\" is not installed", kExitFailed);
        }
        return Fail(ManagerError("cannot open the service \"dorn\""), kExitFailed);
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        if (!WaitUntilStopped(service.get())) {
            return Fail("the service \"dorn\" did not stop within 30 s; it is left installed",
                        kExitFailed);
        }
    } else if (GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return Fail(ManagerError("cannot stop the service \"dorn\""), kExitFailed);
    }
    if (!DeleteService(service.get())) {
        return Fail(ManagerError("cannot remove the service \"dorn\""), kExitFailed);
    }
    std::cout << "dorn: removed the service \"dorn\"\n";
    return kExitDone;
}

// The state the service control manager is told, from the service's thread and from the
// control handler's.
class ServiceState {
  public:
    void Attach(SERVICE_STATUS_HANDLE handle) { m_handle = handle; }

    void Report(DWORD state, DWORD waitHintMs = 0, int exitStatus = 0) {
        std::lock_guard<std::mutex> hold(m_lock);
        ReportLocked(state, waitHintMs, exitStatus);
    }

    // The stop is told once, and only of a service that runs (it accepts no control before).
    void ReportStopping() {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_state == SERVICE_RUNNING) ReportLocked(SERVICE_STOP_PENDING, kStopWaitHintMs, 0);
    }

  private:
    void ReportLocked(DWORD state, DWORD waitHintMs, int exitStatus) {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        // A failed start or run is the service's own error: its exit status says which.
        status.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        status.dwCheckPoint = pending ? ++m_checkPoint : 0;
        status.dwWaitHint = waitHintMs;
        m_state = state;
        SetServiceStatus(m_handle, &status);
    }

    std::mutex m_lock;
    SERVICE_STATUS_HANDLE m_handle = nullptr;
    DWORD m_state = SERVICE_STOPPED;
    DWORD m_checkPoint = 0;
};

// The dispatcher calls ServiceMain without a context: the options and the outcome live here.
const ServiceOptions* g_options = nullptr;
ServiceState g_state;
int g_exitStatus = kExitDone;

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            g_state.ReportStopping();
            ShutdownSignal::RequestStop(SIGTERM);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Why the service did not start or stopped failing, for the administrator: the event log of
// the application, source "dorn".
void WriteEventLog(WORD type, const std::string& text) {
    const UniqueAny<EventSourceTraits> source(RegisterEventSourceW(nullptr, kEventSource));
    if (!source) return;
    const std::wstring wide = Wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source.get(), type, 0, kEventId, nullptr, 1, 0, strings, nullptr);
}

// A service has no standard error: its log lines at the chosen level and above go to the event
// log instead, as "[LEVEL] SOURCE: MESSAGE".
class EventLogSink : public quillmesh::LogSink {
  public:
    explicit EventLogSink(int minLevel)
        : m_minLevel(minLevel), m_source(RegisterEventSourceW(nullptr, kEventSource)) {}

    void Write(const quillmesh::LogRecord& record) override {
        if (record.level < m_minLevel || !m_source) return;
        std::wstring line = L"[" + std::to_wstring(record.level) + L"] ";
        if (!record.source.empty()) line += record.source + L": ";
        line += record.message;
        const wchar_t* strings[] = {line.c_str()};
        ReportEventW(m_source.get(), EventType(record.level), 0, kEventId, nullptr, 1, 0, strings,
                     nullptr);
    }

  private:
    static WORD EventType(int level) {
        return level >= 4   ? EVENTLOG_ERROR_TYPE
               : level == 3 ? EVENTLOG_WARNING_TYPE
                            : EVENTLOG_INFORMATION_TYPE;
    }

    const int m_minLevel;
    const UniqueAny<EventSourceTraits> m_source;
};

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
    if (handle == nullptr) {
        g_exitStatus = kExitFailed;
        return;
    }
    g_state.Attach(handle);
    g_state.Report(SERVICE_START_PENDING, kStartWaitHintMs);
    // A service has no console: what serve would write to standard error is kept for the event
    // log.
    std::ostringstream errors;
    std::streambuf* const console = std::cerr.rdbuf(errors.rdbuf());
    {
        const quillmesh::ScopedLogSink log(
            std::make_shared<EventLogSink>(g_options->serve.logLevel));
        g_exitStatus = RunServe(g_options->serve, [] { g_state.Report(SERVICE_RUNNING); });
    }
    std::cerr.rdbuf(console);
    if (!errors.str().empty()) {
        WriteEventLog(g_exitStatus == kExitDone ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE,
                      errors.str());
    }
    g_state.Report(SERVICE_STOPPED, 0, g_exitStatus);
}

int Run(const ServiceOptions& options) {
    g_options = &options;
    const SERVICE_TABLE_ENTRYW services[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                             {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(services)) {
        if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            return Fail("service run is started by the service control manager (sc start dorn)",
                        kExitBadInput);
        }
        return Fail(ManagerError("cannot connect to the service control manager"), kExitFailed);
    }
    return g_exitStatus;
}

}  // namespace

int RunService(const ServiceOptions& options) {
    switch (options.action) {
        case ServiceOptions::Action::Install:
            return Install(options);
        case ServiceOptions::Action::Uninstall:
            return Uninstall();
        case ServiceOptions::Action::Run:
            return Run(options);
    }
    return kExitBadInput;
}
