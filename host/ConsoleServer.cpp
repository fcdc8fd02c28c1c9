#include "ConsoleServer.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "BagJson.h"
#include "AccessToken.h"
#include "AgentHost.h"
#include "ApiRequest.h"
#include "ConsoleFiles.h"
#include "ConsoleRoutes.h"
#include "HostHeader.h"
#include "HostLog.h"
#include "RequestCredentials.h"
#include "SessionList.h"

namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// Enough for 32 requests at once; each keeps its thread while it waits for the plug-in.
constexpr size_t kConnectionThreads = 32;
constexpr size_t kLargestBody = 1024 * 1024;
constexpr size_t kDroppedBodyBytes = 8 * 1024 * 1024;
// An idle kept-alive connection holds a thread this long, and delays a stop by as much.
constexpr time_t kKeepAliveSeconds = 3;
// A connection keeps its thread from one request to the next: after this many it is closed, so
// that connections waiting for a thread get their turn.
constexpr size_t kRequestsPerConnection = 10;
constexpr const char* kJson = "application/json";
constexpr const wchar_t* kOperation = L"HelpdeskOperation";

std::string ErrorJson(const std::string& message) {
    const nlohmann::json body = {{"error", message}};
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void SendError(Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(ErrorJson(message), kJson);
}

void SendUnauthorized(Response& res) {
    res.set_header("WWW-Authenticate", "Bearer");
    SendError(res, 401, "a valid token is required");
}

const char* StatusText(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 404:
            return "no such endpoint";
        case 413:
            return "the request body is larger than 1 MiB";
        case 414:
            return "the request line is too long";
        default:
            return "the request failed";
    }
}

bool HasBody(const Request& req) {
    return req.has_header("Transfer-Encoding") ||
           (req.has_header("Content-Length") &&
            req.get_header_value<uint64_t>("Content-Length") > 0);
}

// The media type without parameters, in lower case.
std::string MediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// Only SO_REUSEADDR: a second server on the same port is refused rather than sharing it.
void SetSocketOptions(int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

std::string MachineName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

}  // namespace

struct ConsoleServer::Impl {
    Impl(AgentHost& agent, ConsoleServerSettings settings)
        : host(agent), settings(std::move(settings)), machineName(MachineName()) {}

    void Configure();
    HandlerResponse PreRoute(const Request& req, Response& res);
    bool Authenticated(const Request& req) const;
    void Login(const Request& req, Response& res) const;
    void ServeFile(const std::string& name, Response& res) const;
    void ServeSessions(Response& res) const;
    void ServeApi(const Request& req, Response& res, const httplib::ContentReader& reader);
    void CallPlugin(const Request& req, const std::string& opcode, const std::string& body,
                    Response& res);

    AgentHost& host;
    const ConsoleServerSettings settings;
    const std::string machineName;  // as the Host header may name this server
    httplib::Server server;
    int port = 0;
    std::thread listener;
    std::atomic<bool> listening{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> endedCleanly{false};
};

void ConsoleServer::Impl::Configure() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kConnectionThreads); };
    server.set_socket_options(SetSocketOptions);
    // Headers and body go out in separate writes; without this the body waits for an ACK.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_keep_alive_max_count(kRequestsPerConnection);
    server.set_payload_max_length(kLargestBody);
    server.set_default_headers({
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    });
    server.set_pre_routing_handler(
        [this](const Request& req, Response& res) { return PreRoute(req, res); });
    server.Post(std::string(kApiPrefix) + "[A-Za-z0-9_]+",
                [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
                    ServeApi(req, res, reader);
                });
    // Answers that the library makes itself (a bad request line, an oversized body) in JSON.
    server.set_error_handler([](const Request&, Response& res) {
        if (res.body.empty()) SendError(res, res.status, StatusText(res.status));
    });
    server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        SendError(res, 500, "the request could not be served");
    });
    server.set_logger([](const Request& req, const Response& res) {
        HostLog(CORE::SysMessageDebug, L"dorn serve: %S %S %d", req.method.c_str(),
                req.path.c_str(), res.status);
    });
}

// Runs before the body is read: who may ask, and what they may ask, are settled here.
HandlerResponse ConsoleServer::Impl::PreRoute(const Request& req, Response& res) {
    const Route route = ResolveRoute(req.method, req.path);
    if (!NamesThisServer(req.get_header_value("Host"), machineName)) {
        SendError(res, 421, "the Host header names another server");
    } else if (route.endpoint == Endpoint::Login) {
        Login(req, res);
    } else if (!Authenticated(req)) {
        SendUnauthorized(res);
    } else if (route.endpoint == Endpoint::NoSuchPath) {
        SendError(res, 404, StatusText(404));
    } else if (route.endpoint == Endpoint::WrongMethod) {
        res.set_header("Allow", route.allow);
        SendError(res, 405, "method not allowed");
    } else if (route.endpoint == Endpoint::Index) {
        ServeFile("index.html", res);
    } else if (route.endpoint == Endpoint::ConsoleFile) {
        ServeFile(route.name, res);
    } else if (route.endpoint == Endpoint::Sessions) {
        ServeSessions(res);
    } else if (HasBody(req)) {
        return HandlerResponse::Unhandled;  // ServeApi reads the body
    } else {
        CallPlugin(req, route.name, "", res);
    }
    // A body left unread would be taken for the next request.
    if (HasBody(req)) res.set_header("Connection", "close");
    return HandlerResponse::Handled;
}

bool ConsoleServer::Impl::Authenticated(const Request& req) const {
    const std::string authorization = req.get_header_value("Authorization");
    if (const auto bearer = BearerToken(authorization)) {
        if (TokensEqual(*bearer, settings.token)) return true;
    }
    const size_t cookieHeaders = req.get_header_value_count("Cookie");
    for (size_t i = 0; i < cookieHeaders; ++i) {
        const std::string cookies = req.get_header_value("Cookie", i);
        if (const auto cookie = CookieValue(cookies, kTokenCookie)) {
            if (TokensEqual(*cookie, settings.token)) return true;
        }
    }
    return false;
}

void ConsoleServer::Impl::Login(const Request& req, Response& res) const {
    if (!TokensEqual(req.get_param_value("token"), settings.token)) {
        SendUnauthorized(res);
        return;
    }
    res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + settings.token +
                                     "; HttpOnly; SameSite=Strict; Path=/");
    res.set_redirect("/", 303);
}

void ConsoleServer::Impl::ServeFile(const std::string& name, Response& res) const {
    const std::optional<ConsoleFile> file = ReadConsoleFile(settings.consoleDirectory, name);
    if (!file) {
        SendError(res, 404, StatusText(404));
        return;
    }
    res.status = 200;
    res.set_content(file->content, file->contentType.c_str());
}

void ConsoleServer::Impl::ServeSessions(Response& res) const {
    std::vector<SessionEntry> sessions;
    std::string error;
    if (!ListSessions(sessions, error)) {
        SendError(res, 500, error);
        return;
    }
    res.status = 200;
    res.set_content(SessionsToJson(sessions), kJson);
}

// A body over the limit is read on and dropped, up to a bound, so that the client still
// hears the refusal and the connection can go on; past the bound the connection is closed.
void ConsoleServer::Impl::ServeApi(const Request& req, Response& res,
                                   const httplib::ContentReader& reader) {
    std::string body;
    size_t received = 0;
    const bool read = reader([&body, &received](const char* data, size_t length) {
        received += length;
        if (received <= kLargestBody) body.append(data, length);
        return received <= kLargestBody + kDroppedBodyBytes;
    });
    if (!read) res.set_header("Connection", "close");
    // A Content-Length over the limit the library refuses itself, dropping the body.
    if (received > kLargestBody || res.status == 413) {
        SendError(res, 413, StatusText(413));
    } else if (!read) {
        SendError(res, 400, "the request body could not be read");
    } else {
        CallPlugin(req, req.path.substr(std::string(kApiPrefix).size()), body, res);
    }
}

void ConsoleServer::Impl::CallPlugin(const Request& req, const std::string& opcode,
                                     const std::string& body, Response& res) {
    // With the SameSite cookie this keeps other sites' form posts out.
    if (MediaType(req.get_header_value("Content-Type")) != kJson) {
        SendError(res, 415, "the request body must be application/json");
        return;
    }
    CORE::PropertyBag request;
    std::string error;
    if (!BuildApiRequest(opcode, body, request, error)) {
        SendError(res, 400, error);
        return;
    }
    const HostAnswer answer = host.Send(kOperation, request, settings.answerTimeoutMs);
    if (answer.failure != nullptr) {
        SendError(res, 503, answer.failure);
        return;
    }
    res.status = 200;
    res.set_content(dorn::ReplyToJson(answer.result, answer.reply), kJson);
}

ConsoleServer::ConsoleServer(AgentHost& host, ConsoleServerSettings settings)
    : m_impl(std::make_unique<Impl>(host, std::move(settings))) {
    m_impl->Configure();
}

ConsoleServer::~ConsoleServer() {
    StopAccepting();
    Join();
}

bool ConsoleServer::Start(std::function<void()> ended, std::string& error) {
    Impl& impl = *m_impl;
    errno = 0;
    impl.port = impl.settings.port == 0
                    ? impl.server.bind_to_any_port(impl.settings.address)
                    : (impl.server.bind_to_port(impl.settings.address, impl.settings.port)
                           ? impl.settings.port
                           : -1);
    if (impl.port <= 0) {
        const int reason = errno;
        error = "cannot listen on " + UrlHost(impl.settings.address) + ":" +
                std::to_string(impl.settings.port) +
                (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string());
        return false;
    }
    impl.listening = true;
    impl.listener = std::thread([&impl, ended = std::move(ended)] {
        const bool served = impl.server.listen_after_bind();
        impl.endedCleanly = served && impl.stopRequested;
        impl.listening = false;
        ended();
    });
    // stop() only acts on a running server: wait until it runs (or has failed already).
    while (impl.listening && !impl.server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint16_t ConsoleServer::Port() const {
    return static_cast<uint16_t>(m_impl->port);
}

std::string ConsoleServer::LoginUrl() const {
    return "http://" + UrlHost(m_impl->settings.address) + ":" + std::to_string(Port()) +
           "/login?token=" + m_impl->settings.token;
}

void ConsoleServer::StopAccepting() {
    m_impl->stopRequested = true;
    m_impl->server.stop();
}

bool ConsoleServer::Join() {
    if (m_impl->listener.joinable()) m_impl->listener.join();
    return m_impl->endedCleanly;
}

bool IsLoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}
