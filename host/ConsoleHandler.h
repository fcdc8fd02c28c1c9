// What "dorn serve" answers, request by request, behind the access token:
//   GET  /login?token=T     sets the token cookie and sends the browser to /
//   GET  /                  the console page; GET /console/NAME its other files
//   GET  /api/sessions      the machine's sessions
//   GET  /metrics           the Prometheus exposition of the last sampled values
//   POST /api/OPCODE        a JSON request bag in, the reply as "dorn call" prints it out
// Who may ask and what they may ask is settled from the headers alone, before a body is read.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "AgentHost.h"
#include "HttpMessage.h"
#include "SessionList.h"

struct ConsoleSettings {
    std::filesystem::path consoleDirectory;
    std::string token;
    std::string machineName;  // as a Host header may name this server
};

// Where the answers come from: the plug-in, the machine's session list, and the metrics
// exposition (rendered from values sampled beforehand: it never waits for the plug-in).
struct ConsoleSources {
    std::function<HostAnswer(const CORE::PropertyBag& request)> askPlugin;
    std::function<bool(std::vector<SessionEntry>& sessions, std::string& error)> listSessions;
    std::function<std::string()> metrics;
};

class ConsoleHandler final : public HttpHandler {
  public:
    ConsoleHandler(ConsoleSettings settings, ConsoleSources sources);

    std::optional<HttpResponse> Screen(const HttpRequest& head) override;
    HttpResponse Answer(const HttpRequest& request) override;
    HttpResponse Refuse(int status, std::string_view reason) override;

  private:
    bool Authenticated(const HttpRequest& request) const;
    HttpResponse Login(const std::string& query) const;
    HttpResponse ServeFile(const std::string& name) const;
    HttpResponse ServeSessions() const;
    HttpResponse CallPlugin(const std::string& opcode, const std::string& body) const;

    const ConsoleSettings m_settings;
    const ConsoleSources m_sources;
};

// "/a%20b?x=1" → path "/a b", query "x=1"; false when the path's escapes are malformed.
bool SplitTarget(const std::string& target, std::string& path, std::string& query);
// The decoded value of `name` in a query ("a=1&token=x"); empty when absent or malformed.
std::string QueryValue(const std::string& query, const std::string& name);
