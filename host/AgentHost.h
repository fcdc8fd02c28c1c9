// What every dorn command that drives the plug-in does around its requests: registry files
// into a registry of the run's own, counter and session files published, the plug-in loaded
// with the performance monitor "perfmon" in place before its PluginInit, requests delivered to
// "AgentHelpDesk" through the framework, and an orderly stop.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "LogSink.h"
#include "PrivateMachineRegistry.h"
#include "CommandLine.h"
#include "quillmesh/PropertyBag.h"

class PerfmonWorker;
class PluginLibrary;

enum class HostStart {
    Started,
    BadInput,  // a file given on the command line does not parse: nothing was applied
    Failed,    // the registry or the plug-in could not be set up
};

// The exit status of a command whose host did not start: 2 for bad input, else 1.
int StartFailureStatus(HostStart start);

// The outcome of one request.
struct HostAnswer {
    // Why the framework gave no answer (no worker, time-out, abandoned), as the commands print
    // it; null when the plug-in answered.
    const char* failure = nullptr;
    bool result = false;
    CORE::PropertyBag reply;
};

class AgentHost {
  public:
    // Log lines at options.logLevel and above go to standard error from now on.
    explicit AgentHost(const HostOptions& options);
    // Stops, then unloads the plug-in and ends the private registry.
    ~AgentHost();
    AgentHost(const AgentHost&) = delete;
    AgentHost& operator=(const AgentHost&) = delete;

    // Applies the registry, counter and session files (all parsed before any is applied),
    // loads the plug-in and calls its PluginInit. Not Started: `error` says why.
    HostStart Start(std::string& error);

    // One request to "AgentHelpDesk", waiting up to `timeoutMs` (INFINITE: no limit) for the
    // answer, also when the plug-in holds it back. Any thread may call it, also during Stop.
    HostAnswer Send(const std::wstring& operation, const CORE::PropertyBag& request,
                    DWORD timeoutMs);

    // Stops "perfmon" and shuts the framework down: held requests are abandoned, handlers
    // still running finish. Later requests find no worker. Once; later calls do nothing.
    void Stop();

  private:
    const HostOptions m_options;
    quillmesh::ScopedLogSink m_log;
    // Made before the plug-in is loaded and ended after it is unloaded: the members below go
    // first.
    dorn::PrivateMachineRegistry m_machineRegistry;
    std::unique_ptr<PluginLibrary> m_plugin;
    std::unique_ptr<PerfmonWorker> m_perfmon;
    bool m_stopped = false;
};
