#include "ConsoleServer.h"

#include <boost/asio/ip/host_name.hpp>

#include "AgentHost.h"
#include "ConsoleHandler.h"
#include "HttpServer.h"

namespace {

constexpr const wchar_t* kOperation = L"HelpdeskOperation";

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

std::string MachineName() {
    boost::system::error_code failure;
    std::string name = boost::asio::ip::host_name(failure);
    return failure ? std::string() : name;
}

HttpLimits Limits(const ConsoleServerSettings& settings) {
    HttpLimits limits;
    limits.connections = settings.connections;
    return limits;
}

}  // namespace

struct ConsoleServer::Impl {
    Impl(AgentHost& host, ConsoleServerSettings given)
        : settings(std::move(given)),
          askPlugin(statistics.Counting(
              [&host, timeout = settings.answerTimeoutMs](const CORE::PropertyBag& request) {
                  return host.Send(kOperation, request, timeout);
              })),
          sampler(settings.metrics, askPlugin, ListSessions, statistics),
          handler({settings.consoleDirectory, settings.token, MachineName()},
                  {askPlugin, ListSessions, [this] { return sampler.Exposition(); }}),
          server(handler, Limits(settings)) {}

    const ConsoleServerSettings settings;
    RequestStatistics statistics;
    const AskPlugin askPlugin;
    MetricsSampler sampler;
    ConsoleHandler handler;
    HttpServer server;
    bool tls = false;
};

ConsoleServer::ConsoleServer(AgentHost& host, ConsoleServerSettings settings)
    : m_impl(std::make_unique<Impl>(host, std::move(settings))) {}

ConsoleServer::~ConsoleServer() = default;

bool ConsoleServer::UseTls(const TlsIdentity& identity, std::string& error) {
    m_impl->tls = m_impl->server.UseTls(identity, error);
    return m_impl->tls;
}

bool ConsoleServer::Start(std::function<void()> ended, std::string& error) {
    if (!m_impl->server.Start(m_impl->settings.address, m_impl->settings.port, std::move(ended),
                              error)) {
        return false;
    }
    m_impl->sampler.Start();
    return true;
}

uint16_t ConsoleServer::Port() const {
    return m_impl->server.Port();
}

std::string ConsoleServer::LoginUrl() const {
    return (m_impl->tls ? "https://" : "http://") + UrlHost(m_impl->settings.address) + ":" +
           std::to_string(Port()) + "/login?token=" + m_impl->settings.token;
}

void ConsoleServer::StopAccepting() {
    m_impl->server.StopAccepting();
}

void ConsoleServer::StopSampling() {
    m_impl->sampler.RequestStop();
}

bool ConsoleServer::Join() {
    const bool clean = m_impl->server.Join();
    m_impl->sampler.Stop();
    return clean;
}
