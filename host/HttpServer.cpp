#include "HttpServer.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include "HttpParsing.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using beast::error_code;

namespace {

// After an answer that leaves part of a request unread, what the client still sends is read
// and dropped for a while, so that closing does not reset the connection under the answer.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr size_t kLingerBytes = 8 * 1024 * 1024;
// A failed accept (no descriptor free) is tried again after this pause rather than at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// The most a request's head may take in the buffer beyond the header limit: what one read
// brings past its end.
// A connection's first read takes this much: most requests fit, and an idle connection holds
// no more.
constexpr size_t kFirstRead = 1024;
constexpr size_t kReadChunk = 16 * 1024;
// A kept-alive connection's buffer goes back to nothing between requests beyond this size.
constexpr size_t kKeptBuffer = 64 * 1024;

}  // namespace

class HttpConnection;

struct HttpServer::Core {
    Core(HttpHandler& handler, HttpLimits limits)
        : handler(handler), limits(limits), pool(limits.workers) {}

    void Accept();
    void Admit(tcp::socket socket);
    bool MakeRoom();
    // Runs the request on a worker; false when too many wait already.
    bool Enqueue(std::shared_ptr<HttpConnection> connection, HttpRequest request, bool keepAlive);
    void CloseIdle();
    void Forget(HttpConnection* connection);

    HttpHandler& handler;
    const HttpLimits limits;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> queued{0};

    // The connections alive, oldest first; touched on the connection thread only, except that
    // Join waits for the count to reach zero.
    std::list<HttpConnection*> connections;
    std::mutex countMutex;
    std::condition_variable countChanged;
    size_t count = 0;

    asio::thread_pool pool;
    asio::io_context io{1};
    // Keeps the connection thread running while requests are with the workers only.
    asio::executor_work_guard<asio::io_context::executor_type> working{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};
    uint16_t port = 0;
    std::thread thread;
    bool failed = false;
};

// One client's connection: the request it is reading, the answer it is sending. Lives on the
// connection thread, kept alive by the operations it has pending (and a worker's answer).
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
  public:
    HttpConnection(HttpServer::Core& core, tcp::socket socket)
        : m_core(core), m_socket(std::move(socket)), m_timer(m_socket.get_executor()) {
        m_socket.set_option(tcp::no_delay(true), m_ignored);
    }
    ~HttpConnection() { m_core.Forget(this); }

    void Start(std::list<HttpConnection*>::iterator place) {
        m_place = place;
        AwaitRequest();
    }
    std::list<HttpConnection*>::iterator Place() const { return m_place; }
    // Not being answered: waiting for or reading a request, or lingering.
    bool Closable() const { return m_state == State::Reading || m_state == State::Lingering; }
    void Close() {
        m_state = State::Closed;
        m_socket.close(m_ignored);
        m_timer.cancel();
    }
    // On the connection thread, with the worker's answer.
    void Send(HttpResponse answer, bool keepAlive);

  private:
    enum class State { Reading, Answering, Lingering, Closed };

    void AwaitRequest();
    void ReadHead();
    void OnHead(error_code error);
    void OnBody(error_code error);
    void Dispatch();
    void Refuse(const HttpRefusal& refusal);
    void OnSent(error_code error, bool keepAlive, bool unreadInput);
    void Linger();
    void Drain();
    void Arm(std::chrono::milliseconds time);

    HttpServer::Core& m_core;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
    std::list<HttpConnection*>::iterator m_place;
    State m_state = State::Reading;
    beast::flat_buffer m_buffer;
    std::optional<RequestParser> m_parser;
    HttpRequest m_request;
    http::response<http::string_body> m_response;
    size_t m_lingered = 0;
    error_code m_ignored;
};

void HttpConnection::Arm(std::chrono::milliseconds time) {
    m_timer.expires_after(time);
    m_timer.async_wait([self = shared_from_this()](error_code error) {
        if (!error) self->Close();
    });
}

void HttpConnection::AwaitRequest() {
    m_state = State::Reading;
    m_parser.emplace();
    PrepareParser(*m_parser, m_core.limits);
    m_request = {};
    if (m_buffer.size() > 0) {  // the next request came with the last one
        ReadHead();
        return;
    }
    if (m_buffer.capacity() > kKeptBuffer) m_buffer.shrink_to_fit();
    Arm(m_core.limits.idleTimeout);
    m_socket.async_read_some(m_buffer.prepare(kFirstRead),
                             [self = shared_from_this()](error_code error, size_t bytes) {
                                 if (error) {
                                     self->Close();
                                     return;
                                 }
                                 self->m_buffer.commit(bytes);
                                 self->ReadHead();
                             });
}

void HttpConnection::ReadHead() {
    // The request's time runs from its first byte, headers and body together.
    Arm(m_core.limits.requestTimeout);
    http::async_read_header(
        m_socket, m_buffer, *m_parser,
        [self = shared_from_this()](error_code error, size_t) { self->OnHead(error); });
}

void HttpConnection::OnHead(error_code error) {
    if (m_state == State::Closed) return;
    if (error) {
        if (const auto refusal = RefusalOf(error, m_core.limits)) {
            Refuse(*refusal);
        } else {
            Close();
        }
        return;
    }
    if (const auto refusal = CheckHead(*m_parser, m_core.limits)) {
        Refuse(*refusal);
        return;
    }
    m_request = HeadOf(*m_parser);
    std::optional<HttpResponse> early;
    try {
        early = m_core.handler.Screen(m_request);
    } catch (const std::exception&) {
        early = m_core.handler.Refuse(500, "the request could not be served");
    }
    if (early) {
        Send(std::move(*early), !m_request.hasBody && m_parser->get().keep_alive());
        return;
    }
    if (!m_request.hasBody) {
        Dispatch();
        return;
    }
    if (const auto refusal = SetBodyLimit(*m_parser, m_core.limits)) {
        Refuse(*refusal);
        return;
    }
    http::async_read(
        m_socket, m_buffer, *m_parser,
        [self = shared_from_this()](error_code error, size_t) { self->OnBody(error); });
}

void HttpConnection::OnBody(error_code error) {
    if (m_state == State::Closed) return;
    if (error) {
        if (const auto refusal = RefusalOf(error, m_core.limits)) {
            Refuse(*refusal);
        } else {
            Close();
        }
        return;
    }
    m_request.body = std::move(m_parser->get().body());
    m_request.hasBody = false;  // read
    Dispatch();
}

void HttpConnection::Dispatch() {
    m_state = State::Answering;
    m_timer.cancel();
    const bool keepAlive = m_parser->get().keep_alive();
    if (!m_core.Enqueue(shared_from_this(), std::move(m_request), keepAlive)) {
        Send(m_core.handler.Refuse(503, "the server is busy: try again shortly"), keepAlive);
    }
}

void HttpConnection::Refuse(const HttpRefusal& refusal) {
    Send(m_core.handler.Refuse(refusal.status, refusal.reason), false);
}

void HttpConnection::Send(HttpResponse answer, bool keepAlive) {
    if (m_state == State::Closed) return;
    m_state = State::Answering;
    keepAlive = keepAlive && !m_core.stopping;
    // Part of the request is still unread when its head was refused or its body never read.
    const bool unreadInput = !m_parser->is_done();
    const bool head = m_parser->is_header_done() && m_parser->get().method() == http::verb::head;
    m_response = {};
    m_response.version(m_parser->is_header_done() ? m_parser->get().version() : 11);
    m_response.result(static_cast<unsigned>(answer.status));
    for (HttpHeader& header : answer.headers) {
        m_response.insert(header.name, std::move(header.value));
    }
    const size_t length = answer.body.size();
    m_response.body() = head ? std::string() : std::move(answer.body);
    m_response.content_length(length);
    m_response.keep_alive(keepAlive && !unreadInput);
    Arm(m_core.limits.sendTimeout);
    http::async_write(
        m_socket, m_response,
        [self = shared_from_this(), keepAlive, unreadInput](error_code error, size_t) {
            self->OnSent(error, keepAlive, unreadInput);
        });
}

void HttpConnection::OnSent(error_code error, bool keepAlive, bool unreadInput) {
    m_response = {};
    if (m_state == State::Closed) return;
    if (error) {
        Close();
    } else if (unreadInput) {
        Linger();
    } else if (!keepAlive || m_core.stopping) {
        m_socket.shutdown(tcp::socket::shutdown_send, m_ignored);
        Close();
    } else {
        AwaitRequest();
    }
}

void HttpConnection::Linger() {
    m_state = State::Lingering;
    m_socket.shutdown(tcp::socket::shutdown_send, m_ignored);
    Arm(kLingerTime);
    m_buffer.clear();
    Drain();
}

void HttpConnection::Drain() {
    m_socket.async_read_some(m_buffer.prepare(kReadChunk),
                             [self = shared_from_this()](error_code error, size_t bytes) {
                                 self->m_lingered += bytes;
                                 if (error || self->m_lingered > kLingerBytes) {
                                     self->Close();
                                     return;
                                 }
                                 self->Drain();
                             });
}

void HttpServer::Core::Accept() {
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

void HttpServer::Core::Admit(tcp::socket socket) {
    if (connections.size() >= limits.connections && !MakeRoom()) return;  // closes the socket
    auto connection = std::make_shared<HttpConnection>(*this, std::move(socket));
    {
        const std::lock_guard lock(countMutex);
        ++count;
    }
    connection->Start(connections.insert(connections.end(), connection.get()));
}

bool HttpServer::Core::MakeRoom() {
    for (HttpConnection* connection : connections) {
        if (connection->Closable()) {
            connection->Close();
            // Forgotten once its pending operations have ended.
            return true;
        }
    }
    return false;
}

bool HttpServer::Core::Enqueue(std::shared_ptr<HttpConnection> connection, HttpRequest request,
                               bool keepAlive) {
    if (queued.fetch_add(1) >= limits.queuedRequests) {
        --queued;
        return false;
    }
    asio::post(pool, [this, connection = std::move(connection), request = std::move(request),
                      keepAlive]() mutable {
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
        asio::post(io, [connection = std::move(connection), answer = std::move(answer),
                        keepAlive]() mutable { connection->Send(std::move(answer), keepAlive); });
    });
    return true;
}

void HttpServer::Core::CloseIdle() {
    for (HttpConnection* connection : connections) {
        if (connection->Closable()) connection->Close();
    }
}

void HttpServer::Core::Forget(HttpConnection* connection) {
    connections.erase(connection->Place());
    const std::lock_guard lock(countMutex);
    --count;
    countChanged.notify_all();
}

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits)
    : m_core(std::make_unique<Core>(handler, limits)) {}

HttpServer::~HttpServer() {
    StopAccepting();
    Join();
}

bool HttpServer::Start(const std::string& address, uint16_t port, std::function<void()> ended,
                       std::string& error) {
    Core& core = *m_core;
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
        if (!attempt) core.acceptor.listen(asio::socket_base::max_listen_connections, attempt);
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

uint16_t HttpServer::Port() const {
    return m_core->port;
}

void HttpServer::StopAccepting() {
    Core& core = *m_core;
    if (core.stopping.exchange(true)) return;
    asio::post(core.io, [&core] {
        error_code ignored;
        core.acceptor.close(ignored);
        core.acceptRetry.cancel();
        core.CloseIdle();
    });
}

bool HttpServer::Join() {
    Core& core = *m_core;
    if (!core.thread.joinable()) return core.stopping && !core.failed;
    {
        std::unique_lock lock(core.countMutex);
        core.countChanged.wait_for(lock, core.limits.stopTimeout,
                                   [&core] { return core.count == 0 || !core.stopping; });
    }
    asio::post(core.io, [&core] {
        for (HttpConnection* connection : core.connections) connection->Close();
        core.io.stop();
    });
    core.working.reset();
    core.thread.join();
    core.pool.join();
    return core.stopping && !core.failed;
}
