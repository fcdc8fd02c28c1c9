// How a request's bytes become an HttpRequest, and which requests the server refuses itself:
// shared by the server and the fuzzing of the request path.
#pragma once

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>
#include <string>

#include "HttpMessage.h"
#include "HttpServer.h"

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

struct HttpRefusal {
    int status = 0;
    std::string reason;
};

// Sets the header limit; the body is unbounded until SetBodyLimit, so that a request is
// screened (who asks, for what) before its announced length is looked at.
void PrepareParser(RequestParser& parser, const HttpLimits& limits);
// A body longer than the limit is refused, when announced or while it arrives.
std::optional<HttpRefusal> SetBodyLimit(RequestParser& parser, const HttpLimits& limits);

// The head the parser has read (body empty).
HttpRequest HeadOf(const RequestParser& parser);
// A head the parser took but the server does not: too many fields.
std::optional<HttpRefusal> CheckHead(const RequestParser& parser, const HttpLimits& limits);
// The answer to a read that failed: 431, 413 or 400 for what the parser refused; none when the
// connection ended or timed out, which leaves no one to answer.
std::optional<HttpRefusal> RefusalOf(boost::beast::error_code error, const HttpLimits& limits);
