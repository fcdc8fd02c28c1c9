// The request path of "dorn serve" up to the plug-in: the bytes of one request through the
// server's parser and limits, then the console's screening (Host, token, route, media type) and
// its answer, with the plug-in replaced by one that echoes the request bag.
// Holds: no crash; every answer a status the server sends; every refusal a JSON error object;
// nothing but the login page answers below 400 unless the request carries the token.
#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "ConsoleHandler.h"
#include "FuzzCheck.h"
#include "HttpParsing.h"

namespace {

using dorn::fuzz::Require;

const std::string kToken(64, 'c');

std::filesystem::path ConsoleDirectory() {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / "dorn-http-fuzz-console";
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "index.html") << "<!doctype html><title>console</title>";
    std::ofstream(directory / "app.js") << "export const ready = true;";
    return directory;
}

ConsoleHandler& Handler() {
    static ConsoleHandler handler(
        {ConsoleDirectory(), kToken, "fuzzhost"},
        {[](const CORE::PropertyBag& request) {
             return HostAnswer{nullptr, true, request};
         },
         [](std::vector<SessionEntry>& sessions, std::string&) {
             sessions = {{3, L"Console", L"alice", "active"}};
             return true;
         },
         [] { return std::string("dorn_machine_processor_busy_ratio 0.5\n"); }});
    return handler;
}

void CheckAnswer(const HttpResponse& response, std::string_view input, const std::string& target) {
    Require(response.status >= 200 && response.status <= 599, "a status the server sends");
    if (response.status >= 400) {
        const nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
        Require(body.is_object() && body.contains("error"), "a refusal is a JSON error object");
    } else if (target.rfind("/login", 0) != 0) {
        Require(input.find(kToken) != std::string_view::npos,
                "only the login page answers without the token");
    }
}

// Feeds the parser up to the end of the head, or of the whole request, as the server reads them
// (a request cut off is left unfinished, as a connection that ends early is closed unanswered);
// false on a parse error.
bool Feed(RequestParser& parser, std::string_view& rest, bool wholeRequest,
          boost::beast::error_code& error) {
    const auto fed = [&parser, wholeRequest] {
        return wholeRequest ? parser.is_done() : parser.is_header_done();
    };
    while (!rest.empty() && !fed()) {
        const size_t used = parser.put(boost::asio::buffer(rest.data(), rest.size()), error);
        if (error == boost::beast::http::error::need_more) error = {};
        if (error) return false;
        if (used == 0) break;
        rest.remove_prefix(used);
    }
    return !error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const HttpLimits limits;
    ConsoleHandler& handler = Handler();
    RequestParser parser;
    PrepareParser(parser, limits);
    std::string_view rest = input;
    boost::beast::error_code error;
    if (!Feed(parser, rest, false, error)) {
        if (const auto refusal = RefusalOf(error, limits)) {
            Require(refusal->status == 400 || refusal->status == 413 || refusal->status == 431,
                    "the parser's refusals are 400, 413 or 431");
            CheckAnswer(handler.Refuse(refusal->status, refusal->reason), input, "");
        }
        return 0;
    }
    if (!parser.is_header_done()) return 0;
    if (const auto refusal = CheckHead(parser, limits)) {
        CheckAnswer(handler.Refuse(refusal->status, refusal->reason), input, "");
        return 0;
    }
    HttpRequest request = HeadOf(parser);
    if (const auto early = handler.Screen(request)) {
        CheckAnswer(*early, input, request.target);
        return 0;
    }
    if (request.hasBody) {
        if (const auto refusal = SetBodyLimit(parser, limits)) return 0;
        if (!Feed(parser, rest, true, error) || !parser.is_done()) return 0;
        request.body = parser.get().body();
        request.hasBody = false;
    }
    CheckAnswer(handler.Answer(request), input, request.target);
    return 0;
}
