// The HTTP/1.1 server under "dorn serve": every connection on one thread that never waits for a
// client, the requests' answers on a few workers. A client can hold a connection, never a
// thread; whatever clients do, the operator's request is read as soon as it comes, and a stop
// ends within the stop time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "HttpMessage.h"

struct HttpLimits {
    // Connections held at once. Past it, a new connection takes the place of the oldest one not
    // being answered, so that waiting clients cannot keep a new one out.
    size_t connections = 4096;
    size_t headerBytes = 16 * 1024;  // the request line and the header fields
    size_t headerFields = 100;
    size_t bodyBytes = 1024 * 1024;
    // A new or kept-alive connection closes when no request begins within this time.
    std::chrono::milliseconds idleTimeout{5000};
    // From a request's first byte, its headers and body must be in within this time.
    std::chrono::milliseconds requestTimeout{10000};
    // An answer the client does not take within this time ends the connection.
    std::chrono::milliseconds sendTimeout{10000};
    // At a stop, answers in progress get this long to go out before every connection closes.
    std::chrono::milliseconds stopTimeout{3000};
    // Requests answered at once (each may wait for the plug-in), and those that may wait for a
    // worker; past that a request is refused with 503.
    size_t workers = 16;
    size_t queuedRequests = 256;
};

// A certificate chain and its private key, in PEM, to serve HTTPS with.
struct TlsIdentity {
    std::string certificateChain;
    std::string privateKey;
};

struct HttpServerCore;

class HttpServer {
  public:
    HttpServer(HttpHandler& handler, HttpLimits limits);
    // Stops accepting and joins.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serves HTTPS only, with TLS 1.2 or later. False with `error` when the certificate or key
    // cannot be used (or the build has no TLS). Before Start.
    bool UseTls(const TlsIdentity& identity, std::string& error);
    // Listens on `address` (a name or an address) and `port` (0: any free port) and serves on
    // threads of its own; `ended` is called on the connection thread when serving ends. False
    // with `error` when it cannot listen.
    bool Start(const std::string& address, uint16_t port, std::function<void()> ended,
               std::string& error);
    uint16_t Port() const;

    // Closes the listening socket and every connection not being answered; requests waiting
    // for a worker are answered 503, those being answered are sent with "Connection: close".
    void StopAccepting();
    // Waits (at most the stop time after StopAccepting) for the connections to end, then ends
    // the rest and the threads. True when serving ended because of StopAccepting.
    bool Join();

  private:
    std::unique_ptr<HttpServerCore> m_core;
};
