#include "HttpParsing.h"

#include <boost/beast/http/error.hpp>
#include <iterator>
#include <limits>

namespace http = boost::beast::http;

namespace {

// "16 KiB", "1 MiB": the limits as the refusals name them.
std::string SizeText(size_t bytes) {
    constexpr size_t kKiB = 1024;
    if (bytes % (kKiB * kKiB) == 0) return std::to_string(bytes / (kKiB * kKiB)) + " MiB";
    if (bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + " bytes";
}

HttpRefusal BodyTooLarge(const HttpLimits& limits) {
    return {413, "the request body is larger than " + SizeText(limits.bodyBytes)};
}

}  // namespace

void PrepareParser(RequestParser& parser, const HttpLimits& limits) {
    parser.header_limit(static_cast<std::uint32_t>(limits.headerBytes));
    // Not boost::none: the parser compares an announced length with it, and none is below 0.
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

std::optional<HttpRefusal> SetBodyLimit(RequestParser& parser, const HttpLimits& limits) {
    const boost::optional<std::uint64_t> length = parser.content_length();
    if (length && *length > limits.bodyBytes) return BodyTooLarge(limits);
    parser.body_limit(limits.bodyBytes);
    return std::nullopt;
}

HttpRequest HeadOf(const RequestParser& parser) {
    const auto& message = parser.get();
    HttpRequest head;
    head.method = std::string(message.method_string());
    head.target = std::string(message.target());
    for (const auto& field : message) {
        head.headers.push_back({std::string(field.name_string()), std::string(field.value())});
    }
    head.hasBody = !parser.is_done();
    return head;
}

std::optional<HttpRefusal> CheckHead(const RequestParser& parser, const HttpLimits& limits) {
    const auto& message = parser.get();
    if (static_cast<size_t>(std::distance(message.begin(), message.end())) > limits.headerFields) {
        return HttpRefusal{431, "the request has more than " + std::to_string(limits.headerFields) +
                                    " header fields"};
    }
    return std::nullopt;
}

std::optional<HttpRefusal> RefusalOf(boost::beast::error_code error, const HttpLimits& limits) {
    if (error == http::error::header_limit) {
        return HttpRefusal{431,
                           "the request header is larger than " + SizeText(limits.headerBytes)};
    }
    if (error == http::error::body_limit) return BodyTooLarge(limits);
    if (error.category() == http::make_error_code(http::error::bad_method).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message) {
        return HttpRefusal{400, "the request is malformed (" + error.message() + ")"};
    }
    return std::nullopt;
}
