#include "ServeCommand.h"

#include <iostream>
#include <optional>
#include <tuple>

#include "AccessToken.h"
#include "AgentHost.h"
#include "ConnectionCapacity.h"
#include "ConsoleFiles.h"
#include "ConsoleServer.h"
#include "HostLog.h"
#include "OptionFile.h"
#include "ShutdownSignal.h"
#include "Utf8Path.h"

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

int Fail(const std::string& error, int status) {
    std::cerr << "dorn: " << error << "\n";
    return status;
}

bool LoadToken(const ServeOptions& options, std::string& token, std::string& error) {
    const std::optional<std::filesystem::path> path =
        options.tokenFile ? options.tokenFile : DefaultTokenPath();
    if (!path) {
        error = "no place for the token file: set HOME or XDG_CONFIG_HOME, or give --token-file";
        return false;
    }
    return LoadOrCreateToken(*path, token, error);
}

void WarnIfReachable(const ServeOptions& options) {
    if (IsLoopbackAddress(options.address) || !options.insecureHttp) return;
    std::cerr << "dorn serve: warning: listening on " << options.address
              << ": the console is reachable from other machines, over plain HTTP, guarded by "
                 "the token only\n";
}

// The certificate chain and key files, when given: read whole, as every file option is.
bool ReadTlsIdentity(const ServeOptions& options, std::optional<TlsIdentity>& identity,
                     std::string& error) {
    if (!options.tlsCertificate) return true;
    TlsIdentity read;
    std::string reason;
    for (const auto& [option, path, bytes] :
         {std::tuple{"--tls-cert", *options.tlsCertificate, &read.certificateChain},
          std::tuple{"--tls-key", *options.tlsKey, &read.privateKey}}) {
        if (!dorn::ReadOptionFile(path, *bytes, reason)) {
            error = std::string(option) + " " + Utf8FromPath(path) + ": " + reason;
            return false;
        }
    }
    identity = std::move(read);
    return true;
}

// Serves until a signal comes or the server fails; true for a signal.
bool ServeUntilStopped(ShutdownSignal& shutdown, AgentHost& host, ConsoleServer& server) {
    const int signal = shutdown.Wait();
    if (signal != 0) HostLog(CORE::SysMessageVerbose, L"dorn serve: stopping on signal %d", signal);
    // New connections are refused and idle ones closed; requests the plug-in holds back are
    // abandoned, so every answer in progress comes to an end.
    server.StopAccepting();
    server.StopSampling();
    host.Stop();
    const bool clean = server.Join();
    HostLog(CORE::SysMessageVerbose, L"dorn serve: stopped");
    return signal != 0 && clean;
}

}  // namespace

int RunServe(const ServeOptions& options, const std::function<void()>& serving) {
    // Before any thread starts, so that every thread has the signals blocked.
    ShutdownSignal shutdown;
    const size_t connections = PrepareConnectionCapacity();
    std::string error;
    std::string token;
    std::optional<TlsIdentity> tls;
    if (!ReadTlsIdentity(options, tls, error)) return Fail(error, kExitBadInput);
    if (!shutdown.Ready(error) || !LoadToken(options, token, error)) {
        return Fail(error, kExitFailed);
    }
    AgentHost host(options);
    if (const HostStart start = host.Start(error); start != HostStart::Started) {
        return Fail(error, StartFailureStatus(start));
    }
    ConsoleServerSettings settings;
    settings.address = options.address;
    settings.port = options.port;
    settings.consoleDirectory = options.consoleDirectory.value_or(DefaultConsoleDirectory());
    settings.token = token;
    settings.connections = connections;
    settings.metrics = {std::chrono::seconds(options.metricsIntervalSeconds),
                        static_cast<size_t>(options.metricsProcesses)};
    ConsoleServer server(host, std::move(settings));
    if (tls && !server.UseTls(*tls, error)) return Fail(error, kExitBadInput);
    if (!server.Start([&shutdown] { shutdown.Wake(); }, error)) return Fail(error, kExitFailed);
    WarnIfReachable(options);
    std::cout << "dorn serve: console at " << server.LoginUrl() << std::endl;
    if (serving) serving();
    if (!ServeUntilStopped(shutdown, host, server)) {
        return Fail("the console server stopped serving", kExitFailed);
    }
    return kExitStopped;
}
