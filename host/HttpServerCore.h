// The inside of HttpServer, shared by its plain and its TLS connections: the connection thread,
// the workers, the connections alive, and one connection as a template over its stream.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "HttpParsing.h"
#include "HttpServer.h"

namespace http_server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using beast::error_code;

// After an answer that leaves part of a request unread, what the client still sends is read
// and dropped for a while, so that closing does not reset the connection under the answer.
inline constexpr std::chrono::milliseconds kLingerTime{2000};
inline constexpr size_t kLingerBytes = 8 * 1024 * 1024;
// A connection's first read takes this much: most requests fit, and an idle connection holds
// no more.
inline constexpr size_t kFirstRead = 1024;
inline constexpr size_t kReadChunk = 16 * 1024;
// A kept-alive connection's buffer goes back to nothing between requests beyond this size.
inline constexpr size_t kKeptBuffer = 64 * 1024;

class Connection {
  public:
    virtual ~Connection() = default;
    // Not being answered: waiting for or reading a request, or lingering.
    virtual bool Closable() const = 0;
    virtual void Close() = 0;

    std::list<Connection*>::iterator place;
};

// The certificate and key connections are served with (HttpTls*.cpp).
class TlsContext;

}  // namespace http_server

struct HttpServerCore {
    using Connection = http_server::Connection;
    using tcp = http_server::tcp;

    HttpServerCore(HttpHandler& handler, HttpLimits limits)
        : handler(handler), limits(limits), pool(limits.workers) {}

    void Accept();
    void Admit(tcp::socket socket);
    // Closes the oldest connection not being answered; false when every one is.
    bool MakeRoom();
    // Answers the request on a worker, then `deliver`s the answer on the connection thread;
    // false when too many wait already.
    bool Enqueue(HttpRequest request, std::function<void(HttpResponse)> deliver);
    void CloseIdle();
    void Remember(Connection& connection);
    void Forget(Connection& connection);

    HttpHandler& handler;
    const HttpLimits limits;
    std::shared_ptr<http_server::TlsContext> tls;  // none: plain HTTP
    std::atomic<bool> stopping{false};
    std::atomic<size_t> queued{0};

    // The connections alive, oldest first; touched on the connection thread only, except that
    // Join waits for the count to reach zero.
    std::list<Connection*> connections;
    std::mutex countMutex;
    std::condition_variable countChanged;
    size_t count = 0;

    boost::asio::thread_pool pool;
    boost::asio::io_context io{1};
    // Keeps the connection thread running while requests are with the workers only.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> working{
        io.get_executor()};
    tcp::acceptor acceptor{io};
    boost::asio::steady_timer acceptRetry{io};
    uint16_t port = 0;
    std::thread thread;
    bool failed = false;
};

namespace http_server {

// Builds the TLS context from a certificate chain and key (HttpTls*.cpp).
bool MakeTlsContext(const TlsIdentity& identity, std::shared_ptr<TlsContext>& context,
                    std::string& error);
// Serves a connection over TLS (HttpTls*.cpp).
void AdmitTls(HttpServerCore& core, tcp::socket socket);

// How a stream begins (a TLS handshake) and ends (a TLS close) around its requests.
template <class Stream>
struct StreamEnds;

template <>
struct StreamEnds<tcp::socket> {
    static tcp::socket& Socket(tcp::socket& stream) { return stream; }
    template <class Then>
    static void Begin(tcp::socket&, Then then) {
        then(error_code());
    }
    template <class Then>
    static void End(tcp::socket& stream, Then then) {
        error_code ignored;
        stream.shutdown(tcp::socket::shutdown_send, ignored);
        then();
    }
};

// One client's connection: the request it is reading, the answer it is sending. Lives on the
// connection thread, kept alive by the operations it has pending (and a worker's answer).
template <class Stream>
class StreamConnection final : public Connection,
                               public std::enable_shared_from_this<StreamConnection<Stream>> {
    using Ends = StreamEnds<Stream>;

  public:
    StreamConnection(HttpServerCore& core, Stream stream)
        : m_core(core), m_stream(std::move(stream)), m_timer(Socket().get_executor()) {
        Socket().set_option(tcp::no_delay(true), m_ignored);
        m_core.Remember(*this);
    }
    ~StreamConnection() override { m_core.Forget(*this); }

    void Start() {
        Arm(m_core.limits.requestTimeout);
        Ends::Begin(m_stream, [self = this->shared_from_this()](error_code error) {
            if (error) {
                self->Close();
            } else if (self->m_state != State::Closed) {
                self->AwaitRequest();
            }
        });
    }
    bool Closable() const override {
        return m_state == State::Reading || m_state == State::Lingering;
    }
    void Close() override {
        m_state = State::Closed;
        Socket().close(m_ignored);
        m_timer.cancel();
    }

  private:
    enum class State { Reading, Answering, Lingering, Closed };

    tcp::socket& Socket() { return Ends::Socket(m_stream); }

    void Arm(std::chrono::milliseconds time) {
        m_timer.expires_after(time);
        m_timer.async_wait([self = this->shared_from_this()](error_code error) {
            if (!error) self->Close();
        });
    }

    void AwaitRequest() {
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
        m_stream.async_read_some(m_buffer.prepare(kFirstRead),
                                 [self = this->shared_from_this()](error_code error, size_t bytes) {
                                     if (error) {
                                         self->Close();
                                         return;
                                     }
                                     self->m_buffer.commit(bytes);
                                     self->ReadHead();
                                 });
    }

    void ReadHead() {
        // The request's time runs from its first byte, headers and body together.
        Arm(m_core.limits.requestTimeout);
        http::async_read_header(
            m_stream, m_buffer, *m_parser,
            [self = this->shared_from_this()](error_code error, size_t) { self->OnHead(error); });
    }

    void OnHead(error_code error) {
        if (m_state == State::Closed) return;
        if (error) {
            RefuseOrClose(error);
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
        } else if (!m_request.hasBody) {
            Dispatch();
        } else if (const auto refusal = SetBodyLimit(*m_parser, m_core.limits)) {
            Refuse(*refusal);
        } else {
            http::async_read(m_stream, m_buffer, *m_parser,
                             [self = this->shared_from_this()](error_code error, size_t) {
                                 self->OnBody(error);
                             });
        }
    }

    void OnBody(error_code error) {
        if (m_state == State::Closed) return;
        if (error) {
            RefuseOrClose(error);
            return;
        }
        m_request.body = std::move(m_parser->get().body());
        m_request.hasBody = false;  // read
        Dispatch();
    }

    void RefuseOrClose(error_code error) {
        if (const auto refusal = RefusalOf(error, m_core.limits)) {
            Refuse(*refusal);
        } else {
            Close();
        }
    }

    void Dispatch() {
        m_state = State::Answering;
        m_timer.cancel();
        const bool keepAlive = m_parser->get().keep_alive();
        const auto deliver = [self = this->shared_from_this(), keepAlive](HttpResponse answer) {
            self->Send(std::move(answer), keepAlive);
        };
        if (!m_core.Enqueue(std::move(m_request), deliver)) {
            Send(m_core.handler.Refuse(503, "the server is busy: try again shortly"), keepAlive);
        }
    }

    void Refuse(const HttpRefusal& refusal) {
        Send(m_core.handler.Refuse(refusal.status, refusal.reason), false);
    }

    void Send(HttpResponse answer, bool keepAlive) {
        if (m_state == State::Closed) return;
        m_state = State::Answering;
        keepAlive = keepAlive && !m_core.stopping;
        // Part of the request is still unread when its head was refused or its body never read.
        const bool unreadInput = !m_parser->is_done();
        const bool toHead =
            m_parser->is_header_done() && m_parser->get().method() == http::verb::head;
        m_response = {};
        m_response.version(m_parser->is_header_done() ? m_parser->get().version() : 11);
        m_response.result(static_cast<unsigned>(answer.status));
        for (HttpHeader& header : answer.headers) {
            m_response.insert(header.name, std::move(header.value));
        }
        const size_t length = answer.body.size();
        m_response.body() = toHead ? std::string() : std::move(answer.body);
        m_response.content_length(length);
        m_response.keep_alive(keepAlive && !unreadInput);
        Arm(m_core.limits.sendTimeout);
        http::async_write(
            m_stream, m_response,
            [self = this->shared_from_this(), keepAlive, unreadInput](error_code error, size_t) {
                self->OnSent(error, keepAlive, unreadInput);
            });
    }

    void OnSent(error_code error, bool keepAlive, bool unreadInput) {
        m_response = {};
        if (m_state == State::Closed) return;
        if (error) {
            Close();
        } else if (unreadInput) {
            Linger();
        } else if (!keepAlive || m_core.stopping) {
            Ends::End(m_stream, [self = this->shared_from_this()] { self->Close(); });
        } else {
            AwaitRequest();
        }
    }

    void Linger() {
        m_state = State::Lingering;
        Socket().shutdown(tcp::socket::shutdown_send, m_ignored);
        Arm(kLingerTime);
        m_buffer.clear();
        Drain();
    }

    // What comes is dropped unread, below any TLS.
    void Drain() {
        Socket().async_read_some(m_buffer.prepare(kReadChunk),
                                 [self = this->shared_from_this()](error_code error, size_t bytes) {
                                     self->m_lingered += bytes;
                                     if (error || self->m_lingered > kLingerBytes) {
                                         self->Close();
                                         return;
                                     }
                                     self->Drain();
                                 });
    }

    HttpServerCore& m_core;
    Stream m_stream;
    asio::steady_timer m_timer;
    State m_state = State::Reading;
    beast::flat_buffer m_buffer;
    std::optional<RequestParser> m_parser;
    HttpRequest m_request;
    http::response<http::string_body> m_response;
    size_t m_lingered = 0;
    error_code m_ignored;
};

}  // namespace http_server
