#include "ConsoleHandler.h"

#include <nlohmann/json.hpp>

#include "AccessToken.h"
#include "ApiRequest.h"
#include "BagJson.h"
#include "ConsoleFiles.h"
#include "ConsoleRoutes.h"
#include "HostHeader.h"
#include "HostLog.h"
#include "HttpText.h"
#include "MetricsExposition.h"
#include "RequestCredentials.h"

namespace {

constexpr const char* kJson = "application/json";

std::string ErrorJson(std::string_view message) {
    const nlohmann::json body = {{"error", message}};
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Every answer: never cached, never taken for another type, page resources from here only.
HttpResponse Answered(int status, std::string body, std::string contentType) {
    return {status,
            {{"Content-Type", std::move(contentType)},
             {"Cache-Control", "no-store"},
             {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"}},
            std::move(body)};
}

HttpResponse Error(int status, std::string_view message) {
    return Answered(status, ErrorJson(message), kJson);
}

HttpResponse Unauthorized() {
    HttpResponse response = Error(401, "a valid token is required");
    response.headers.push_back({"WWW-Authenticate", "Bearer"});
    return response;
}

// The media type without parameters, in lower case.
std::string MediaType(std::string_view contentType) {
    std::string type(contentType.substr(0, contentType.find(';')));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    for (char& c : type) c = LowerAscii(c);
    return type;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX escapes (and '+' for a space in a query); false on a malformed escape.
bool PercentDecode(std::string_view text, bool plusIsSpace, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            decoded.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            decoded.push_back(plusIsSpace && text[i] == '+' ? ' ' : text[i]);
        }
    }
    return true;
}

std::string Path(const HttpRequest& request) {
    std::string path;
    std::string query;
    return SplitTarget(request.target, path, query) ? path : std::string();
}

void LogAnswer(const HttpRequest& request, const HttpResponse& response) {
    HostLog(CORE::SysMessageDebug, L"dorn serve: %S %S %d", request.method.c_str(),
            request.target.c_str(), response.status);
}

}  // namespace

bool SplitTarget(const std::string& target, std::string& path, std::string& query) {
    const size_t mark = target.find('?');
    query = mark == std::string::npos ? std::string() : target.substr(mark + 1);
    return PercentDecode(std::string_view(target).substr(0, mark), false, path);
}

std::string QueryValue(const std::string& query, const std::string& name) {
    std::string_view rest = query;
    while (!rest.empty()) {
        const size_t end = rest.find('&');
        const std::string_view pair = rest.substr(0, end);
        const size_t equals = pair.find('=');
        std::string key;
        std::string value;
        if (equals != std::string_view::npos && PercentDecode(pair.substr(0, equals), true, key) &&
            key == name && PercentDecode(pair.substr(equals + 1), true, value)) {
            return value;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return {};
}

ConsoleHandler::ConsoleHandler(ConsoleSettings settings, ConsoleSources sources)
    : m_settings(std::move(settings)), m_sources(std::move(sources)) {}

std::optional<HttpResponse> ConsoleHandler::Screen(const HttpRequest& head) {
    std::string path;
    std::string query;
    const bool decoded = SplitTarget(head.target, path, query);
    const Route route = ResolveRoute(head.method, path);
    std::optional<HttpResponse> answer;
    if (!NamesThisServer(head.Header("Host"), m_settings.machineName)) {
        answer = Error(421, "the Host header names another server");
    } else if (decoded && route.endpoint == Endpoint::Login) {
        answer = Login(query);
    } else if (!Authenticated(head)) {
        answer = Unauthorized();
    } else if (!decoded) {
        answer = Error(400, "the request path has a malformed escape");
    } else if (route.endpoint == Endpoint::NoSuchPath) {
        answer = Error(404, "no such endpoint");
    } else if (route.endpoint == Endpoint::WrongMethod) {
        answer = Error(405, "method not allowed");
        answer->headers.push_back({"Allow", route.allow});
    } else if (route.endpoint == Endpoint::Api && MediaType(head.Header("Content-Type")) != kJson) {
        // With the SameSite cookie this keeps other sites' form posts out.
        answer = Error(415, "the request body must be application/json");
    }
    if (answer) LogAnswer(head, *answer);
    return answer;
}

HttpResponse ConsoleHandler::Answer(const HttpRequest& request) {
    const std::string path = Path(request);
    const Route route = ResolveRoute(request.method, path);
    HttpResponse answer;
    if (route.endpoint == Endpoint::Index) {
        answer = ServeFile("index.html");
    } else if (route.endpoint == Endpoint::ConsoleFile) {
        answer = ServeFile(route.name);
    } else if (route.endpoint == Endpoint::Sessions) {
        answer = ServeSessions();
    } else if (route.endpoint == Endpoint::Metrics) {
        answer = Answered(200, m_sources.metrics(), kExpositionContentType);
    } else if (route.endpoint == Endpoint::Api) {
        answer = CallPlugin(route.name, request.body);
    } else {
        answer = Error(404, "no such endpoint");  // Screen lets no other request through
    }
    LogAnswer(request, answer);
    return answer;
}

HttpResponse ConsoleHandler::Refuse(int status, std::string_view reason) {
    HostLog(CORE::SysMessageDebug, L"dorn serve: refused %d", status);
    return Error(status, reason);
}

bool ConsoleHandler::Authenticated(const HttpRequest& request) const {
    for (const std::string_view authorization : request.HeadersNamed("Authorization")) {
        const auto bearer = BearerToken(authorization);
        if (bearer && TokensEqual(*bearer, m_settings.token)) return true;
    }
    for (const std::string_view cookies : request.HeadersNamed("Cookie")) {
        const auto cookie = CookieValue(cookies, kTokenCookie);
        if (cookie && TokensEqual(*cookie, m_settings.token)) return true;
    }
    return false;
}

HttpResponse ConsoleHandler::Login(const std::string& query) const {
    if (!TokensEqual(QueryValue(query, "token"), m_settings.token)) return Unauthorized();
    HttpResponse response = Answered(303, "", "text/plain");
    response.headers.push_back({"Location", "/"});
    response.headers.push_back({"Set-Cookie", std::string(kTokenCookie) + "=" + m_settings.token +
                                                  "; HttpOnly; SameSite=Strict; Path=/"});
    return response;
}

HttpResponse ConsoleHandler::ServeFile(const std::string& name) const {
    std::optional<ConsoleFile> file = ReadConsoleFile(m_settings.consoleDirectory, name);
    if (!file) return Error(404, "no such endpoint");
    return Answered(200, std::move(file->content), std::move(file->contentType));
}

HttpResponse ConsoleHandler::ServeSessions() const {
    std::vector<SessionEntry> sessions;
    std::string error;
    if (!m_sources.listSessions(sessions, error)) return Error(500, error);
    return Answered(200, SessionsToJson(sessions), kJson);
}

HttpResponse ConsoleHandler::CallPlugin(const std::string& opcode, const std::string& body) const {
    CORE::PropertyBag request;
    std::string error;
    if (!BuildApiRequest(opcode, body, request, error)) return Error(400, error);
    const HostAnswer answer = m_sources.askPlugin(request);
    if (answer.failure != nullptr) return Error(503, answer.failure);
    return Answered(200, dorn::ReplyToJson(answer.result, answer.reply), kJson);
}
