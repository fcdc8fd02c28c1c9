// One HTTP request as the console server's handler sees it, and its answer, in plain types: the
// handler (and its fuzzing) does not depend on the HTTP library.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct HttpHeader {
    std::string name;
    std::string value;
};

struct HttpRequest {
    std::string method;  // as sent, e.g. "GET"
    std::string target;  // the path and query, as sent
    std::vector<HttpHeader> headers;
    // A body follows the headers (it is read only after Screen let the request through).
    bool hasBody = false;
    std::string body;

    // The first header named `name` (in any case); empty when there is none.
    std::string_view Header(std::string_view name) const;
    // Every header named `name`, in the order sent.
    std::vector<std::string_view> HeadersNamed(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<HttpHeader> headers;
    std::string body;
};

// What the server asks of the application for each request.
class HttpHandler {
  public:
    virtual ~HttpHandler() = default;
    // Runs on the connection thread as soon as the headers are in, before any of the body is
    // read, so it must not wait for anything: an answer ends the request there (its body is
    // never read); none lets the server read the body and hand the request to Answer.
    virtual std::optional<HttpResponse> Screen(const HttpRequest& head) = 0;
    // Runs on a worker thread; may wait.
    virtual HttpResponse Answer(const HttpRequest& request) = 0;
    // The answer to a request the server refuses itself (malformed, over a limit, no worker
    // free): `reason` is a sentence for the client.
    virtual HttpResponse Refuse(int status, std::string_view reason) = 0;
};
