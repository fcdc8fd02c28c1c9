// The HTTP server under "dorn serve" against clients that misbehave: slow, idle, oversized,
// pipelined, too many, and a stop in the middle of it all. Raw sockets, so that every byte is
// the test's.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
// The Boost headers first: on Windows, Winsock before anything that includes windows.h.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HttpServer.h"
#include "Waiting.h"

namespace dorn::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Reply = http::response<http::string_body>;
using namespace std::chrono_literals;

// Screens out requests without "Authorization: yes" as the console does without its token;
// answers "/hold" only when the test lets it go, everything else at once with what it got.
class TestHandler final : public HttpHandler {
  public:
    std::optional<HttpResponse> Screen(const HttpRequest& head) override {
        if (head.Header("authorization") != "yes") return HttpResponse{401, {}, "who"};
        if (head.target == "/throw") throw std::runtime_error("screen");
        return std::nullopt;
    }
    HttpResponse Answer(const HttpRequest& request) override {
        if (request.target == "/hold") {
            std::unique_lock lock(m_mutex);
            ++m_holding;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_released; });
        }
        return {200, {{"X-Method", request.method}}, request.target + " " + request.body};
    }
    HttpResponse Refuse(int status, std::string_view reason) override {
        ++refusals;
        return {status, {}, std::string(reason)};
    }

    bool WaitHolding(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 30s, [&] { return m_holding >= count; });
    }
    void Release() {
        const std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

    std::atomic<int> refusals{0};

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_holding = 0;
    bool m_released = false;
};

// One connection, every wait bounded.
class RawClient {
  public:
    explicit RawClient(uint16_t port) {
        m_socket.connect({asio::ip::address_v4::loopback(), port}, m_error);
    }
    bool Connected() const { return !m_error; }
    bool Send(std::string_view bytes) {
        beast::error_code error;
        asio::write(m_socket, asio::buffer(bytes.data(), bytes.size()), error);
        return !error;
    }
    // The next response, or none when the connection ends first or nothing comes.
    std::optional<Reply> Read(bool toHead = false) {
        http::response_parser<http::string_body> parser;
        parser.body_limit(16 * 1024 * 1024);
        parser.skip(toHead);
        bool done = false;
        beast::error_code failure;
        http::async_read(m_socket, m_buffer, parser, [&](beast::error_code error, size_t) {
            done = true;
            failure = error;
        });
        if (!Run(done)) return std::nullopt;
        if (failure) return std::nullopt;
        return parser.release();
    }
    // True when the server ends the connection (end of stream or reset) within the bound;
    // anything it sends meanwhile is dropped.
    bool Closed() {
        for (;;) {
            bool done = false;
            beast::error_code failure;
            m_socket.async_read_some(m_buffer.prepare(4096), [&](beast::error_code error, size_t) {
                done = true;
                failure = error;
            });
            if (!Run(done)) return false;
            m_buffer.clear();
            if (failure) return true;
        }
    }

  private:
    bool Run(const bool& done) {
        m_io.restart();
        m_io.run_for(30s);
        if (done) return true;
        m_socket.cancel();
        m_io.restart();
        m_io.run();
        return false;
    }

    asio::io_context m_io;
    tcp::socket m_socket{m_io};
    beast::flat_buffer m_buffer;
    beast::error_code m_error;
};

std::string Get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\n" + extra + "\r\n";
}

std::string Post(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class HttpServerTest : public ::testing::Test {
  protected:
    void Start(HttpLimits limits = {}) {
        m_server = std::make_unique<HttpServer>(m_handler, limits);
        std::string error;
        ASSERT_TRUE(m_server->Start(
            "127.0.0.1", 0, [] {}, error))
            << error;
    }
    uint16_t Port() const { return m_server->Port(); }
    // A fresh connection's answer to `request`.
    std::optional<Reply> Ask(const std::string& request) {
        RawClient client(Port());
        if (!client.Send(request)) return std::nullopt;
        return client.Read();
    }
    void TearDown() override {
        m_handler.Release();
        if (m_server) {
            m_server->StopAccepting();
            EXPECT_TRUE(m_server->Join());
        }
    }

    TestHandler m_handler;
    std::unique_ptr<HttpServer> m_server;
};

TEST_F(HttpServerTest, ClientsThatHoldConnectionsDoNotDelayOthers) {
    HttpLimits limits;
    limits.workers = 2;
    Start(limits);
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < 300; ++i) {
        holders.push_back(std::make_unique<RawClient>(Port()));
        ASSERT_TRUE(holders.back()->Connected()) << i;
        switch (i % 4) {
            case 0:  // idle
                break;
            case 3:  // answered once, kept alive
                holders.back()->Send(Get("/kept"));
                ASSERT_TRUE(holders.back()->Read()) << i;
                break;
            case 1:  // half the headers
                holders.back()->Send("POST /x HTTP/1.1\r\nHost: h\r\nX-Slow: 1\r\n");
                break;
            case 2:  // a tenth of the body
                holders.back()->Send(
                    "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nContent-Length: "
                    "100\r\n\r\n0123456789");
                break;
        }
    }
    for (int i = 0; i < 5; ++i) {
        const auto reply = Ask(Post("/api/x", "{}"));
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->result_int(), 200);
        EXPECT_EQ(reply->body(), "/api/x {}");
    }
}

TEST_F(HttpServerTest, DeadlinesEndConnectionsThatTakeTooLong) {
    HttpLimits limits;
    limits.idleTimeout = 100ms;
    limits.requestTimeout = 300ms;
    Start(limits);
    RawClient idle(Port());
    RawClient keptAlive(Port());
    ASSERT_TRUE(keptAlive.Send(Get("/a")));
    ASSERT_TRUE(keptAlive.Read());
    RawClient halfBody(Port());
    halfBody.Send(
        "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nContent-Length: 9\r\n\r\nab");
    EXPECT_TRUE(idle.Closed());
    EXPECT_TRUE(keptAlive.Closed());
    EXPECT_TRUE(halfBody.Closed());

    // A client that keeps sending, one header at a time, still has to finish in time.
    RawClient trickler(Port());
    ASSERT_TRUE(trickler.Send("GET / HTTP/1.1\r\n"));
    const bool cutOff = WaitUntil([&] { return !trickler.Send("X-More: 1\r\n"); }, 60s);
    EXPECT_TRUE(cutOff);
}

// The defaults, refusals and what a refusal does to the connection.
TEST_F(HttpServerTest, LimitsRefuseWithTheirStatusAndCloseTheConnection) {
    Start();
    std::string hundredFields;  // with Host and Authorization, 100 in all
    for (int i = 0; i < 98; ++i) hundredFields += "X-F" + std::to_string(i) + ": v\r\n";
    const std::string mebibyte(1024 * 1024, 'b');
    const std::string chunk(64 * 1024, 'c');
    std::string chunked =
        "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 17; ++i) chunked += "10000\r\n" + chunk + "\r\n";
    chunked += "0\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
        int status;
        std::string body;  // the answer, or the start of the refusal's reason
    } cases[] = {
        {"100 header fields", Get("/a", hundredFields), 200, "/a "},
        {"101 header fields", Get("/a", hundredFields + "X-Last: v\r\n"), 431,
         "the request has more than 100 header fields"},
        {"16 KiB of header", Get("/a", "X-Big: " + std::string(16 * 1024, 'a') + "\r\n"), 431,
         "the request header is larger than 16 KiB"},
        {"a body of 1 MiB", Post("/b", mebibyte), 200, "/b " + mebibyte},
        {"a body announced longer than 1 MiB, never sent",
         "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nContent-Length: 1048577\r\n\r\n",
         413, "the request body is larger than 1 MiB"},
        {"a chunked body past 1 MiB", chunked, 413, "the request body is larger than 1 MiB"},
        {"no request line", "\x01\x02 nonsense\r\n\r\n", 400, "the request is malformed"},
        {"a length and chunks",
         "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nContent-Length: "
         "3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         400, "the request is malformed"},
        {"a screen that fails", Get("/throw"), 500, "the request could not be served"},
    };
    for (const auto& example : cases) {
        RawClient client(Port());
        client.Send(example.request);
        const auto reply = client.Read();
        ASSERT_TRUE(reply) << example.what;
        EXPECT_EQ(reply->result_int(), example.status) << example.what;
        EXPECT_EQ(reply->body().substr(0, example.body.size()), example.body) << example.what;
        if (example.status >= 400 && example.status != 500) {
            EXPECT_FALSE(reply->keep_alive()) << example.what;
            EXPECT_TRUE(client.Closed()) << example.what;
        }
    }
}

TEST_F(HttpServerTest, ConnectionsEndWhenTheClientSaysAndRequestsStayApart) {
    Start();
    RawClient closing(Port());
    closing.Send(Get("/a", "Connection: close\r\n"));
    const auto closed = closing.Read();
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->keep_alive());
    EXPECT_TRUE(closing.Closed());

    RawClient oldClient(Port());
    oldClient.Send("GET /a HTTP/1.0\r\nAuthorization: yes\r\n\r\n");
    ASSERT_TRUE(oldClient.Read());
    EXPECT_TRUE(oldClient.Closed());

    RawClient pipelining(Port());
    pipelining.Send(Post("/one", "1") + Get("/two") + Post("/three", "3"));
    for (const char* body : {"/one 1", "/two ", "/three 3"}) {
        const auto reply = pipelining.Read();
        ASSERT_TRUE(reply) << body;
        EXPECT_EQ(reply->body(), body);
    }

    // Bytes after a broken chunk are not taken for a request of their own.
    RawClient smuggling(Port());
    smuggling.Send(
        "POST /x HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\nTransfer-Encoding: "
        "chunked\r\n\r\nzz\r\n" +
        Get("/smuggled"));
    const auto refused = smuggling.Read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->result_int(), 400);
    EXPECT_TRUE(smuggling.Closed());

    RawClient head(Port());
    head.Send("HEAD /h HTTP/1.1\r\nHost: h\r\nAuthorization: yes\r\n\r\n");
    const auto headReply = head.Read(true);
    ASSERT_TRUE(headReply);
    EXPECT_EQ(headReply->at(http::field::content_length), "3");  // as "/h " would be sent
    EXPECT_EQ(headReply->at("X-Method"), "HEAD");
}

TEST_F(HttpServerTest, BurstsOfConnectionsAreAllAnswered) {
    Start();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(std::make_unique<RawClient>(Port()));
    for (auto& client : clients) client->Send(Get("/burst"));
    int answered = 0;
    for (auto& client : clients) {
        const auto reply = client->Read();
        answered += reply && reply->result_int() == 200 ? 1 : 0;
    }
    EXPECT_EQ(answered, 200);  // fewer than the workers and their queue take
}

TEST_F(HttpServerTest, AtTheCapANewClientTakesTheOldestWaitingPlace) {
    HttpLimits limits;
    limits.connections = 4;
    Start(limits);
    RawClient oldest(Port());
    ASSERT_TRUE(oldest.Send("GET / HTTP/1.1\r\n"));  // waiting, and first
    RawClient held(Port());
    ASSERT_TRUE(held.Send(Get("/hold")));
    ASSERT_TRUE(m_handler.WaitHolding(1));
    RawClient idle1(Port());
    RawClient idle2(Port());
    const auto reply = Ask(Get("/new"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body(), "/new ");
    EXPECT_TRUE(oldest.Closed());
    m_handler.Release();
    const auto heldReply = held.Read();  // being answered: kept
    ASSERT_TRUE(heldReply);
    EXPECT_EQ(heldReply->body(), "/hold ");
}

TEST_F(HttpServerTest, StopAnswersEveryAcceptedRequestAndEndsEveryConnection) {
    HttpLimits limits;
    limits.workers = 1;
    limits.queuedRequests = 3;
    Start(limits);
    RawClient held(Port());
    held.Send(Get("/hold"));
    ASSERT_TRUE(m_handler.WaitHolding(1));
    // Three wait for the one worker; a fourth finds no place.
    std::vector<std::unique_ptr<RawClient>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::make_unique<RawClient>(Port()));
        waiting.back()->Send(Get("/waiting"));
    }
    ASSERT_TRUE(WaitUntil([&] { return m_handler.refusals == 1; }));
    RawClient idle(Port());
    RawClient slow(Port());
    slow.Send("GET / HTTP/1.1\r\nHost");

    m_server->StopAccepting();
    EXPECT_TRUE(idle.Closed());
    EXPECT_TRUE(slow.Closed());
    EXPECT_FALSE(RawClient(Port()).Connected());
    m_handler.Release();
    const auto heldReply = held.Read();
    ASSERT_TRUE(heldReply);
    EXPECT_EQ(heldReply->result_int(), 200);
    EXPECT_FALSE(heldReply->keep_alive());
    std::multiset<std::string> answers;
    for (auto& client : waiting) {
        const auto reply = client->Read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result_int(), 503);
        answers.insert(reply->body());
    }
    EXPECT_EQ(answers, (std::multiset<std::string>{
                           "the server is busy: try again shortly", "the server is stopping",
                           "the server is stopping", "the server is stopping"}));
    EXPECT_TRUE(m_server->Join());
}

}  // namespace
}  // namespace dorn::test
