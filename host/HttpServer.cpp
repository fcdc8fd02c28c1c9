#include "HttpServer.h"

#include <boost/asio/post.hpp>

#include "HttpServerCore.h"

using namespace http_server;

namespace {

// A failed accept (no descriptor free) is tried again after this pause rather than at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};

}  // namespace

void HttpServerCore::Accept() {
    acceptor.async_accept([this](error_code error, tcp::socket socket) {
        if (!acceptor.is_open()) return;
        if (error) {
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](error_code waited) {
                if (!waited) Accept();
            });
            return;
        }
        Admit(std::move(socket));
        Accept();
    });
}

void HttpServerCore::Admit(tcp::socket socket) {
    if (connections.size() >= limits.connections && !MakeRoom()) return;  // closes the socket
    if (tls) {
        AdmitTls(*this, std::move(socket));
    } else {
        std::make_shared<StreamConnection<tcp::socket>>(*this, std::move(socket))->Start();
    }
}

void HttpServerCore::Remember(Connection& connection) {
    connection.place = connections.insert(connections.end(), &connection);
    const std::lock_guard lock(countMutex);
    ++count;
}

bool HttpServerCore::MakeRoom() {
    for (Connection* connection : connections) {
        if (connection->Closable()) {
            connection->Close();
            // Forgotten once its pending operations have ended.
            return true;
        }
    }
    return false;
}

bool HttpServerCore::Enqueue(HttpRequest request, std::function<void(HttpResponse)> deliver) {
    if (queued.fetch_add(1) >= limits.queuedRequests) {
        --queued;
        return false;
    }
    boost::asio::post(pool, [this, request = std::move(request),
                             deliver = std::move(deliver)]() mutable {
        --queued;
        HttpResponse answer;
        if (stopping) {
            answer = handler.Refuse(503, "the server is stopping");
        } else {
            try {
                answer = handler.Answer(request);
            } catch (const std::exception&) {
                answer = handler.Refuse(500, "the request could not be served");
            }
        }
        boost::asio::post(io, [deliver = std::move(deliver), answer = std::move(answer)]() mutable {
            deliver(std::move(answer));
        });
    });
    return true;
}

void HttpServerCore::CloseIdle() {
    for (Connection* connection : connections) {
        if (connection->Closable()) connection->Close();
    }
}

void HttpServerCore::Forget(Connection& connection) {
    connections.erase(connection.place);
    const std::lock_guard lock(countMutex);
    --count;
    countChanged.notify_all();
}

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits)
    : m_core(std::make_unique<HttpServerCore>(handler, limits)) {}

HttpServer::~HttpServer() {
    StopAccepting();
    Join();
}

bool HttpServer::Start(const std::string& address, uint16_t port, std::function<void()> ended,
                       std::string& error) {
    HttpServerCore& core = *m_core;
    error_code failure;
    tcp::resolver resolver(core.io);
    const auto endpoints =
        resolver.resolve(address, std::to_string(port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, failure);
    for (const auto& entry : endpoints) {
        error_code attempt;
        core.acceptor.open(entry.endpoint().protocol(), attempt);
#ifndef _WIN32
        // Lets a restarted server take its port while old connections linger; a second server
        // on the same port is still refused.
        if (!attempt) core.acceptor.set_option(tcp::acceptor::reuse_address(true), attempt);
#endif
        if (!attempt) core.acceptor.bind(entry.endpoint(), attempt);
        if (!attempt)
            core.acceptor.listen(boost::asio::socket_base::max_listen_connections, attempt);
        if (!attempt) {
            failure = {};
            break;
        }
        failure = attempt;
        core.acceptor.close(attempt);
    }
    if (!core.acceptor.is_open()) {
        const std::string host =
            address.find(':') != std::string::npos ? "[" + address + "]" : address;
        error = "cannot listen on " + host + ":" + std::to_string(port) +
                (failure ? ": " + failure.message() : std::string());
        return false;
    }
    core.port = core.acceptor.local_endpoint(failure).port();
    core.Accept();
    core.thread = std::thread([&core, ended = std::move(ended)] {
        try {
            core.io.run();
        } catch (const std::exception&) {
            core.failed = true;
        }
        ended();
    });
    return true;
}

bool HttpServer::UseTls(const TlsIdentity& identity, std::string& error) {
    return MakeTlsContext(identity, m_core->tls, error);
}

uint16_t HttpServer::Port() const {
    return m_core->port;
}

void HttpServer::StopAccepting() {
    HttpServerCore& core = *m_core;
    if (core.stopping.exchange(true)) return;
    boost::asio::post(core.io, [&core] {
        error_code ignored;
        core.acceptor.close(ignored);
        core.acceptRetry.cancel();
        core.CloseIdle();
    });
}

bool HttpServer::Join() {
    HttpServerCore& core = *m_core;
    if (!core.thread.joinable()) return core.stopping && !core.failed;
    {
        std::unique_lock lock(core.countMutex);
        core.countChanged.wait_for(lock, core.limits.stopTimeout,
                                   [&core] { return core.count == 0 || !core.stopping; });
    }
    boost::asio::post(core.io, [&core] {
        for (Connection* connection : core.connections) connection->Close();
        core.io.stop();
    });
    core.working.reset();
    core.thread.join();
    core.pool.join();
    return core.stopping && !core.failed;
}
