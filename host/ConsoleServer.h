// The HTTP side of "dorn serve": the console's requests (ConsoleHandler) served on the address
// and port given, the plug-in asked through the host, and the sampling behind GET /metrics.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "HttpServer.h"
#include "MetricsSampler.h"

class AgentHost;

struct ConsoleServerSettings {
    std::string address;
    uint16_t port = 0;  // 0: any free port
    std::filesystem::path consoleDirectory;
    std::string token;
    // Connections held at once (the process must have a descriptor for each).
    size_t connections = 4096;
    // How long a request may wait for the plug-in's answer, so that a stuck one cannot keep a
    // worker for ever.
    DWORD answerTimeoutMs = 60000;
    MetricsSettings metrics;
};

class ConsoleServer {
  public:
    ConsoleServer(AgentHost& host, ConsoleServerSettings settings);
    // Stops accepting and joins.
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // HTTPS with this certificate and key; false with `error` when they cannot be used.
    bool UseTls(const TlsIdentity& identity, std::string& error);
    // Listens and serves on threads of its own, and starts sampling the plug-in for GET
    // /metrics; `ended` is called when serving ends, after StopAccepting or on its own. False
    // with `error` when it cannot listen.
    bool Start(std::function<void()> ended, std::string& error);
    // The port listened on.
    uint16_t Port() const;
    // http(s)://ADDRESS:PORT/login?token=TOKEN
    std::string LoginUrl() const;

    // Closes the listening socket and the connections not being answered.
    void StopAccepting();
    // The sampling for GET /metrics asks the plug-in nothing more: before the host stops, so
    // that no round of sampling begins while it stops. The request in progress ends with the
    // others, and Join waits for it.
    void StopSampling();
    // Waits (a few seconds at most) until every connection and the sampling have ended. True when
    // serving ended because of StopAccepting, false when it failed on its own.
    bool Join();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
