// The HTTP side of "dorn serve": the console page and one endpoint per framework request, all
// behind the access token.
//   GET  /login?token=T     sets the token cookie and sends the browser to /
//   GET  /                  the console page; GET /console/NAME its other files
//   GET  /api/sessions      the machine's sessions
//   POST /api/OPCODE        a JSON request bag in, the reply as "dorn call" prints it out
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class AgentHost;

struct ConsoleServerSettings {
    std::string address;
    uint16_t port = 0;  // 0: any free port
    std::filesystem::path consoleDirectory;
    std::string token;
    // How long a request may wait for the plug-in's answer, so that a stuck one cannot keep a
    // connection thread for ever.
    DWORD answerTimeoutMs = 60000;
};

class ConsoleServer {
  public:
    ConsoleServer(AgentHost& host, ConsoleServerSettings settings);
    // Stops accepting and waits for the connection threads.
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Listens and serves on threads of its own; `ended` is called on the listening thread when
    // serving ends, after StopAccepting or on its own. False with `error` when it cannot listen.
    bool Start(std::function<void()> ended, std::string& error);
    // The port listened on.
    uint16_t Port() const;
    // http://ADDRESS:PORT/login?token=TOKEN
    std::string LoginUrl() const;

    // Closes the listening socket; connections end after the request they are serving.
    void StopAccepting();
    // Waits until the connection threads have ended. True when serving ended because of
    // StopAccepting, false when it failed on its own.
    bool Join();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// True for 127.0.0.0/8, ::1 and "localhost": addresses other machines cannot reach.
bool IsLoopbackAddress(const std::string& address);
