// dorn serve end to end: the real host executable with the real plug-in (or a holding one),
// asked over HTTP on the loopback interface.
#include <gtest/gtest.h>
// HTTPS clients too.
#define CPPHTTPLIB_OPENSSL_SUPPORT
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "ServeProcess.h"
#include "ChildProcess.h"
#include "Exposition.h"
#include "Waiting.h"
#include "TempDirectory.h"

namespace dorn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kSamples = std::string(DORN_SOURCE_DIR) + "/samples/";
const std::string kFixtures = std::string(DORN_SOURCE_DIR) + "/tests/fixtures/";
constexpr const char* kCsp = "default-src 'self'; img-src 'self' data:";
constexpr size_t kLargestBody = 1024 * 1024;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

unsigned Mode(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

json Json(const httplib::Result& result) {
    if (!result) return json();
    json parsed = json::parse(result->body, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << result->body;
    return parsed;
}

int StatusOf(const httplib::Result& result) {
    return result ? result->status : -1;
}

std::string ErrorOf(const httplib::Result& result) {
    const json body = Json(result);
    return body.is_object() && body.contains("error") && body["error"].is_string()
               ? body["error"].get<std::string>()
               : "(no error text)";
}

// What dorn call prints for the same request, without the final line break.
std::string CallOutput(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "call");
    std::string out = RunProcess(DORN_EXECUTABLE, arguments).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

class ServeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(Console() / "sub");
        for (const auto& [name, text] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"console/index.html", "<!doctype html><title>console</title>"},
                 {"console/app.js", "export const ready = true;"},
                 {"console/style.css", "body { margin: 0; }"},
                 {"console/logo.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>"},
                 {"console/notes.txt", "not a page file"},
                 {"console/sub/deep.js", "nested"},
                 {"secret.html", "outside the console"}}) {
            m_root.Write(name, text);
        }
    }

    std::filesystem::path Console() const { return m_root.Path() / "console"; }
    std::filesystem::path TokenFile() const { return m_root.Path() / "config" / "dorn" / "token"; }

    std::unique_ptr<ServeProcess> Start(const std::vector<std::string>& extra = {},
                                        const std::vector<std::string>& environment = {}) {
        std::vector<std::string> arguments = {
            "serve",     "--port",          "0", "--token-file", TokenFile().string(),
            "--console", Console().string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto server = std::make_unique<ServeProcess>(DORN_EXECUTABLE, arguments, environment);
        EXPECT_TRUE(server->WaitForConsole(60s)) << server->Out() << server->Err();
        return server;
    }

    static httplib::Headers Bearer(const ServeProcess& server) {
        return {{"Authorization", "Bearer " + server.Token()}};
    }

    static void ExpectCleanStop(ServeProcess& server, int signal = SIGTERM) {
        server.Signal(signal);
        EXPECT_EQ(server.WaitForExit(60s), 0) << server.Err();
    }

    TempDirectory m_root;
};

std::unique_ptr<httplib::Client> ClientOf(const ServeProcess& server) {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
    client->set_read_timeout(120, 0);
    client->set_tcp_nodelay(true);
    return client;
}

TEST_F(ServeTest, EveryRequestNeedsTheToken) {
    auto server = Start();
    ASSERT_FALSE(server->Token().empty());
    auto client = ClientOf(*server);
    const httplib::Headers wrongBearer = {{"Authorization", "Bearer " + std::string(64, '0')}};
    for (const auto& headers :
         {httplib::Headers{}, wrongBearer, httplib::Headers{{"Authorization", server->Token()}},
          httplib::Headers{{"Cookie", "dorn_token=wrong"}}}) {
        for (const char* path : {"/", "/console/app.js", "/api/sessions", "/metrics", "/nowhere"}) {
            const auto page = client->Get(path, headers);
            ASSERT_TRUE(page) << path;
            EXPECT_EQ(page->status, 401) << path;
            EXPECT_EQ(page->get_header_value("WWW-Authenticate"), "Bearer");
            EXPECT_EQ(Json(page), json::parse(R"({"error": "a valid token is required"})"));
            EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
        }
        const auto api = client->Post("/api/ClientInfo", headers, "{}", "application/json");
        ASSERT_TRUE(api);
        EXPECT_EQ(api->status, 401);
    }

    EXPECT_EQ(StatusOf(client->Get("/login?token=" + std::string(64, 'a'))), 401);
    EXPECT_EQ(StatusOf(client->Get("/login")), 401);
    const auto login = client->Get("/login?token=" + server->Token());
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    EXPECT_EQ(login->get_header_value("Location"), "/");
    EXPECT_EQ(login->get_header_value("Set-Cookie"),
              "dorn_token=" + server->Token() + "; HttpOnly; SameSite=Strict; Path=/");

    // The cookie, among others, and the bearer token (its scheme in any case) both let in.
    for (const auto& headers :
         {httplib::Headers{{"Cookie", "theme=dark; dorn_token=" + server->Token() + "; x=1"}},
          httplib::Headers{{"Authorization", "bearer " + server->Token()}}}) {
        const auto page = client->Get("/", headers);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_EQ(page->body, "<!doctype html><title>console</title>");
        EXPECT_EQ(page->get_header_value("Content-Type"), "text/html");
        EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
        EXPECT_EQ(page->get_header_value("Content-Security-Policy"), kCsp);
    }

    // Only the names of this server are answered, the token notwithstanding: a DNS name of
    // another site pointed at this machine is how a page of that site would reach it.
    char machine[256] = {};
    ASSERT_EQ(gethostname(machine, sizeof machine - 1), 0);
    const std::string port = ":" + std::to_string(server->Port());
    const std::pair<std::string, int> hosts[] = {
        {"attacker.example", 421}, {"attacker.example" + port, 421},   {"localhost.example", 421},
        {"[::1" + port, 421},      {"LocalHost" + port, 200},          {"127.0.0.1" + port, 200},
        {"[::1]" + port, 200},     {std::string(machine) + port, 200}, {"[::1%1]" + port, 421},
    };
    for (const auto& [host, status] : hosts) {
        httplib::Headers headers = Bearer(*server);
        headers.emplace("Host", host);
        const auto page = client->Get("/", headers);
        ASSERT_TRUE(page) << host;
        EXPECT_EQ(page->status, status) << host;
        if (status == 421) {
            EXPECT_EQ(Json(page),
                      json::parse(R"({"error": "the Host header names another server"})"));
        }
    }
    ExpectCleanStop(*server);
}

TEST_F(ServeTest, TokenFileIsMadePrivateAndKept) {
    auto first = Start();
    ASSERT_TRUE(std::filesystem::exists(TokenFile()));
    EXPECT_EQ(Mode(TokenFile()), 0600u);
    EXPECT_EQ(Mode(TokenFile().parent_path()), 0700u);
    EXPECT_EQ(ReadFile(TokenFile()), first->Token());
    ExpectCleanStop(*first, SIGINT);

    auto second = Start();
    EXPECT_EQ(second->Token(), first->Token());
    ExpectCleanStop(*second);

    // Without --token-file: $XDG_CONFIG_HOME/dorn/token, else ~/.config/dorn/token.
    const std::filesystem::path xdg = m_root.Path() / "xdg";
    ServeProcess byXdg(DORN_EXECUTABLE, {"serve", "--port", "0"},
                       {"XDG_CONFIG_HOME=" + xdg.string()});
    ASSERT_TRUE(byXdg.WaitForConsole(60s)) << byXdg.Err();
    EXPECT_EQ(ReadFile(xdg / "dorn" / "token"), byXdg.Token());
    ExpectCleanStop(byXdg);
    const std::filesystem::path home = m_root.Path() / "home";
    ServeProcess byHome(DORN_EXECUTABLE, {"serve", "--port", "0"},
                        {"XDG_CONFIG_HOME=", "HOME=" + home.string()});
    ASSERT_TRUE(byHome.WaitForConsole(60s)) << byHome.Err();
    EXPECT_EQ(ReadFile(home / ".config" / "dorn" / "token"), byHome.Token());
    ExpectCleanStop(byHome);

    // A file others may read, or one that holds no token, stops the start.
    std::filesystem::permissions(TokenFile(), std::filesystem::perms(0644));
    ServeProcess open(DORN_EXECUTABLE,
                      {"serve", "--port", "0", "--token-file", TokenFile().string()});
    EXPECT_EQ(open.WaitForExit(60s), 1);
    EXPECT_NE(open.Err().find("mode 0644"), std::string::npos) << open.Err();
    EXPECT_EQ(open.Out(), "");
    std::filesystem::permissions(TokenFile(), std::filesystem::perms(0600));
    std::ofstream(TokenFile(), std::ios::binary) << (first->Token().substr(1) + "g");
    ServeProcess garbled(DORN_EXECUTABLE,
                         {"serve", "--port", "0", "--token-file", TokenFile().string()});
    EXPECT_EQ(garbled.WaitForExit(60s), 1);
    EXPECT_NE(garbled.Err().find("64 hexadecimal characters"), std::string::npos) << garbled.Err();
}

TEST_F(ServeTest, ApiAnswersAsDornCallDoes) {
    auto server = Start({"--registry", kSamples + "sessions.reg"});
    auto client = ClientOf(*server);
    const auto headers = Bearer(*server);

    auto reply =
        client->Post("/api/ClientInfo", headers, R"({"SESSIONID": 3})", "application/json");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(reply->get_header_value("Content-Security-Policy"), kCsp);
    EXPECT_EQ(reply->body,
              CallOutput({"--registry", kSamples + "sessions.reg", "ClientInfo", "SESSIONID=3"}));
    EXPECT_EQ(Json(reply)["reply"]["client_info"]["machine_name"], "ALICE-LAPTOP");

    // A body of exactly the largest size is taken.
    const std::string prefix = R"({"SESSIONID": 4, "pad": ")";
    const std::string padded = prefix + std::string(kLargestBody - prefix.size() - 2, 'p') + "\"}";
    ASSERT_EQ(padded.size(), kLargestBody);
    const struct {
        std::string path, body, type, answerAt, answer;
    } cases[] = {
        // Any opcode reaches the plug-in; the body may name the same one.
        {"/api/Bogus", R"({"opcode": "Bogus"})", "application/json", "/error/text",
         "Invalid opcode"},
        // An empty body is an empty bag; the session then is missing.
        {"/api/VexelTelemetry", "", "application/json", "/error/text", "no session Id specified"},
        {"/api/VexelTelemetry", R"({"SESSIONID": 3, "x": {"y": [1, 2]}})",
         "application/json; charset=utf-8", "/reply/current_topology/topology",
         "2 monitors: 1920x1080@96 primary, 1920x1080@96 right"},
        {"/api/ClientInfo", padded, "application/json", "/reply/client_info/machine_name",
         "KIOSK-12"},
        // POST /api/sessions is a request like any other.
        {"/api/sessions", "{}", "application/json", "/error/text", "Invalid opcode"},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.path + " " + example.body.substr(0, 40));
        reply = client->Post(example.path, headers, example.body, example.type);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(Json(reply)[json::json_pointer(example.answerAt)], example.answer);
    }
    ExpectCleanStop(*server);
}

TEST_F(ServeTest, MalformedRequestsAreRefusedAndTheConnectionGoesOn) {
    auto server = Start();
    auto client = ClientOf(*server);
    client->set_keep_alive(true);
    const auto headers = Bearer(*server);
    const auto expectStatus = [&](const httplib::Result& result, int status, const char* what) {
        ASSERT_TRUE(result) << what << ": " << httplib::to_string(result.error());
        EXPECT_EQ(result->status, status) << what << ": " << result->body;
        EXPECT_EQ(Json(result).size(), 1u) << what << ": " << result->body;
        // The connection still serves after a refusal.
        const auto next = client->Get("/api/sessions", headers);
        ASSERT_TRUE(next) << "after " << what;
        EXPECT_EQ(next->status, 200) << "after " << what;
    };

    for (const char* body : {"{\"SESSIONID\": ", "[1, 2]", "\"text\"", "{\"a\": null}",
                             "{\"a\": 1.5}", "{\"a\": \"\xff\"}", " "}) {
        expectStatus(client->Post("/api/ClientInfo", headers, body, "application/json"), 400, body);
    }
    const auto differs = client->Post("/api/ClientInfo", headers, R"({"opcode": "Performance"})",
                                      "application/json");
    expectStatus(differs, 400, "another opcode");
    EXPECT_NE(ErrorOf(differs).find("opcode"), std::string::npos);
    const auto notUtf8 =
        client->Post("/api/ClientInfo", headers, "{\"a\": \"\xc3\x28\"}", "application/json");
    EXPECT_NE(ErrorOf(notUtf8).find("UTF-8"), std::string::npos) << ErrorOf(notUtf8);

    expectStatus(client->Post("/api/ClientInfo", headers, "{}", "text/plain"), 415, "text/plain");
    expectStatus(client->Post("/api/ClientInfo", headers, "", "application/x-www-form-urlencoded"),
                 415, "a form");
    const std::string tooLarge(kLargestBody + 1, ' ');
    expectStatus(client->Post("/api/ClientInfo", headers, tooLarge, "application/json"), 413,
                 "a large body");
    const std::string chunk(64 * 1024, ' ');
    expectStatus(client->Post(
                     "/api/ClientInfo", headers,
                     [&chunk](size_t offset, httplib::DataSink& sink) {
                         if (offset > 2 * kLargestBody) {
                             sink.done();
                         } else {
                             sink.write(chunk.data(), chunk.size());
                         }
                         return true;
                     },
                     "application/json"),
                 413, "a large chunked body");

    for (const char* path :
         {"/nowhere", "/api/", "/api/a-b", "/api/x/y", "/console/", "/console/notes.txt",
          "/console/missing.js", "/console/sub/deep.js", "/console/../secret.html",
          "/console/..%2fsecret.html", "/console/%2e%2e%2fsecret.html", "/console/.hidden.js"}) {
        const auto page = client->Get(path, headers);
        expectStatus(page, 404, path);
        if (page) {
            EXPECT_EQ(ErrorOf(page), "no such endpoint");
        }
    }
    expectStatus(client->Get("/console/%zz.js", headers), 400, "a malformed escape");
    const auto getApi = client->Get("/api/ClientInfo", headers);
    expectStatus(getApi, 405, "GET /api/ClientInfo");
    EXPECT_EQ(getApi ? getApi->get_header_value("Allow") : "", "POST");
    const auto postPage = client->Post("/", headers, "{}", "application/json");
    expectStatus(postPage, 405, "POST /");
    EXPECT_EQ(postPage ? postPage->get_header_value("Allow") : "", "GET, HEAD");
    expectStatus(client->Delete("/console/app.js", headers), 405, "DELETE a file");

    for (const auto& [name, type] :
         std::vector<std::pair<std::string, std::string>>{{"app.js", "text/javascript"},
                                                          {"style.css", "text/css"},
                                                          {"logo.svg", "image/svg+xml"},
                                                          {"index.html", "text/html"}}) {
        const auto file = client->Get("/console/" + name, headers);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->status, 200) << name;
        EXPECT_EQ(file->get_header_value("Content-Type"), type);
        EXPECT_EQ(file->body, ReadFile(Console() / name));
    }
    // Any opcode name reaches the plug-in, however long.
    const auto longName =
        client->Post("/api/" + std::string(8000, 'A'), headers, "{}", "application/json");
    ASSERT_TRUE(longName);
    EXPECT_EQ(Json(longName)["error"]["text"], "Invalid opcode");
    client->stop();  // an idle kept-alive connection would hold the stop up for a while
    ExpectCleanStop(*server);
}

TEST_F(ServeTest, SessionsOfTheSystemAndOfTheRegistry) {
    auto server = Start({"--registry", kSamples + "sessions.reg"});
    auto client = ClientOf(*server);
    auto listed = Json(client->Get("/api/sessions", Bearer(*server)));
    ASSERT_TRUE(listed["sessions"].is_array()) << listed.dump();
    std::map<int64_t, json> byId;
    for (const json& session : listed["sessions"]) {
        EXPECT_TRUE(byId.empty() || session["id"].get<int64_t>() > byId.rbegin()->first)
            << "not sorted, or listed twice: " << listed.dump();
        byId[session["id"].get<int64_t>()] = session;
    }
    ASSERT_TRUE(byId.count(3) && byId.count(4)) << listed.dump();
    for (const int64_t id : {3, 4}) {
        // The machine may have login sessions of these numbers; otherwise only the registry
        // knows them.
        if (byId[id]["state"] == "registry") {
            EXPECT_EQ(byId[id],
                      json({{"id", id}, {"name", ""}, {"user", ""}, {"state", "registry"}}));
        }
    }
    ExpectCleanStop(*server);

    server = Start({"--registry", kSamples + "sessions.reg", "--sessions",
                    kFixtures + "counters/sessions.json"});
    client = ClientOf(*server);
    listed = Json(client->Get("/api/sessions", Bearer(*server)));
    size_t seen = 0;
    for (const json& session : listed["sessions"]) {
        const int64_t id = session["id"];
        if (id == 3) {
            EXPECT_EQ(session, json::parse(R"({"id": 3, "name": "Console", "user": "alice",
                                                "state": "active"})"));
        } else if (id == 4) {
            EXPECT_EQ(session, json::parse(R"({"id": 4, "name": "RDP-Tcp#1", "user": "bob",
                                                "state": "active"})"));
        } else if (id == 5) {
            EXPECT_EQ(session["user"], "carol");
            EXPECT_EQ(session["state"], "disconnected");
        }
        seen += id >= 3 && id <= 5 ? 1 : 0;
    }
    EXPECT_EQ(seen, 3u) << listed.dump();
    ExpectCleanStop(*server);
}

// The first round of sampling fills the exposition: the machine, each session with its protocol's
// statistics from the counter fixtures (session 3 Vexel, 4 PCoIP), the host's requests.
TEST_F(ServeTest, MetricsShowTheSessionsAfterTheFirstSample) {
    auto server = Start({"--registry", kSamples + "sessions.reg", "--sessions",
                         kFixtures + "counters/sessions.json", "--counters",
                         kFixtures + "counters/protocol-counters.json", "--metrics-interval", "1",
                         "--metrics-processes", "3"});
    auto client = ClientOf(*server);
    const std::string vexel = R"({session_id="3",protocol="vexel")";
    const std::string pcoip = R"({session_id="4",protocol="pcoip")";
    std::map<std::string, std::string> series;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto scrape = client->Get("/metrics", Bearer(*server));
            if (!scrape || scrape->status != 200) return false;
            EXPECT_EQ(scrape->get_header_value("Content-Type"),
                      "text/plain; version=0.0.4; charset=utf-8");
            series = SeriesOf(scrape->body);
            return series.count("dorn_session_round_trip_seconds" + vexel + "}") > 0 &&
                   series.count("dorn_session_round_trip_seconds" + pcoip + "}") > 0;
        },
        60s))
        << server->Err();
    const std::map<std::string, std::string> expected = {
        {R"(dorn_session_info{session_id="3",user="alice",state="active",protocol="vexel",)"
         R"(encoder="NVIDIA NvEnc H264 4:2:0"})",
         "1"},
        {R"(dorn_session_info{session_id="4",user="bob",state="active",protocol="pcoip",)"
         R"(encoder=""})",
         "1"},
        {"dorn_session_round_trip_seconds" + vexel + "}", "0.012"},
        {"dorn_session_sent_bytes_total" + vexel + "}", "90431210"},
        {"dorn_session_received_bytes_total" + vexel + "}", "101548"},
        {"dorn_session_frames_per_second" + vexel + "}", "29"},
        {"dorn_session_bandwidth_bytes_per_second" + vexel + R"(,direction="receive"})",
         "10625000"},
        {"dorn_session_round_trip_seconds" + pcoip + "}", "0.041"},
        {"dorn_session_sent_bytes_total" + pcoip + "}", "98000111"},
        {"dorn_session_received_bytes_total" + pcoip + "}", "1200333"},
        {"dorn_session_bandwidth_bytes_per_second" + pcoip + R"(,direction="transmit"})", "525000"},
        {"dorn_session_packet_loss_ratio" + pcoip + R"(,direction="receive"})", "0"},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(series.count(name) ? series.at(name) : "(absent)", value) << name;
    }
    // Session 5 names no protocol: it is listed, and the plug-in is not asked for statistics.
    EXPECT_EQ(series.count(R"(dorn_session_info{session_id="5",user="carol",state="disconnected",)"
                           R"(protocol="",encoder=""})"),
              1u);
    for (const char* ratio :
         {"dorn_machine_processor_busy_ratio", "dorn_machine_memory_used_ratio"}) {
        ASSERT_TRUE(series.count(ratio)) << ratio;
        EXPECT_GE(std::stod(series.at(ratio)), 0.0) << ratio;
        EXPECT_LE(std::stod(series.at(ratio)), 1.0) << ratio;
    }
    size_t processes = 0;
    for (const auto& [name, value] : series) {
        processes += name.rfind("dorn_process_processor_ratio{process_id=", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(processes, 3u);
    EXPECT_GE(
        std::stoi(series[R"(dorn_plugin_requests_total{opcode="ProtocolInfo",result="true"})"]), 2);
    EXPECT_EQ(series.count(R"(dorn_plugin_requests_total{opcode="ProtocolInfo",result="false"})"),
              0u);
    EXPECT_GE(
        std::stoi(series[R"(dorn_plugin_request_duration_seconds_count{opcode="Performance"})"]),
        1);
    EXPECT_EQ(StatusOf(client->Get("/metrics")), 401);
    const auto post = client->Post("/metrics", Bearer(*server), "{}", "application/json");
    EXPECT_EQ(StatusOf(post), 405);
    EXPECT_EQ(post ? post->get_header_value("Allow") : "", "GET, HEAD");
    ExpectCleanStop(*server);
}

// A scrape never waits for the plug-in: with the sampler's first request held, it answers at
// once with what it has, and the held request does not hold up the stop.
TEST_F(ServeTest, MetricsAnswerWhileThePluginHoldsTheSampler) {
    auto server = Start({"--plugin", HOLDING_PLUGIN, "--metrics-interval", "1"},
                        {"HOLDING_PLUGIN_HOLDS=Performance"});
    ASSERT_TRUE(WaitUntil(
        [&] { return server->Err().find("holding a request") != std::string::npos; }, 60s));
    auto client = ClientOf(*server);
    const auto scrape = client->Get("/metrics", Bearer(*server));
    ASSERT_TRUE(scrape);
    EXPECT_EQ(scrape->status, 200);
    EXPECT_EQ(scrape->body.find("dorn_machine_"), std::string::npos) << scrape->body;
    EXPECT_EQ(scrape->body.find("dorn_metrics_sample_"), std::string::npos) << scrape->body;
    EXPECT_EQ(Json(client->Post("/api/Echo", Bearer(*server), "", "application/json")),
              json::parse(R"({"result": true, "reply": {"opcode": "Echo"}})"));
    const auto after = client->Get("/metrics", Bearer(*server));
    ASSERT_TRUE(after);
    EXPECT_EQ(SeriesOf(after->body)[R"(dorn_plugin_requests_total{opcode="other",result="true"})"],
              "1");
    // Well within the 60 s the sampler's request could wait for its answer.
    server->Signal(SIGTERM);
    EXPECT_EQ(server->WaitForExit(30s), 0) << server->Err();
}

// Clients keep polling while the server is told to stop: it ends, cleanly.
TEST_F(ServeTest, SignalStopsTheServerWhileClientsPoll) {
    auto server = Start({"--registry", kSamples + "sessions.reg", "--sessions",
                         kFixtures + "counters/sessions.json", "--counters",
                         kFixtures + "counters/protocol-counters.json"});
    std::atomic<bool> stopping{false};
    std::atomic<int> answered{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> pollers;
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"/api/Performance", R"({"type": 1})"},
        {"/api/ProtocolInfo", R"({"SESSIONID": 3})"},
        {"/api/ClientInfo", R"({"SESSIONID": 4})"},
        {"/api/sessions", ""}};
    for (size_t i = 0; i < 8; ++i) {
        pollers.emplace_back([&, request = requests[i % requests.size()]] {
            auto client = ClientOf(*server);
            client->set_keep_alive(true);
            while (!stopping) {
                const auto result = request.second.empty()
                                        ? client->Get(request.first, Bearer(*server))
                                        : client->Post(request.first, Bearer(*server),
                                                       request.second, "application/json");
                if (!result) continue;  // refused once the server has stopped listening
                if (result->status == 200) {
                    ++answered;
                } else if (result->status != 503) {
                    ++unexpected;
                }
                std::this_thread::sleep_for(20ms);
            }
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return answered >= 40; }, 60s));
    server->Signal(SIGTERM);
    EXPECT_EQ(server->WaitForExit(60s), 0) << server->Err();
    stopping = true;
    for (std::thread& poller : pollers) poller.join();
    EXPECT_EQ(unexpected, 0);
}

// A request the plug-in never answers is abandoned at the stop; one that finds no worker says so.
TEST_F(ServeTest, FrameworkFailuresAnswer503) {
    auto server = Start({"--plugin", HOLDING_PLUGIN});
    auto client = ClientOf(*server);
    EXPECT_EQ(Json(client->Post("/api/Echo", Bearer(*server), "", "application/json")),
              json::parse(R"({"result": true, "reply": {"opcode": "Echo"}})"));

    int heldStatus = 0;
    std::string heldError;
    std::thread holder([&] {
        auto own = ClientOf(*server);
        const auto held = own->Post("/api/Hold", Bearer(*server), "{}", "application/json");
        if (!held) return;
        heldStatus = held->status;
        heldError = ErrorOf(held);
    });
    EXPECT_TRUE(WaitUntil(
        [&] { return server->Err().find("holding a request") != std::string::npos; }, 60s));
    ExpectCleanStop(*server);
    holder.join();
    EXPECT_EQ(heldStatus, 503);
    EXPECT_EQ(heldError, "the request was abandoned");

    server = Start({"--plugin", HOLDING_PLUGIN});
    client = ClientOf(*server);
    EXPECT_EQ(Json(client->Post("/api/Leave", Bearer(*server), "", "application/json"))["result"],
              true);
    const auto orphan = client->Post("/api/Echo", Bearer(*server), "", "application/json");
    ASSERT_TRUE(orphan);
    EXPECT_EQ(orphan->status, 503);
    EXPECT_EQ(ErrorOf(orphan), "the plug-in registered no worker \"AgentHelpDesk\"");
    ExpectCleanStop(*server);
}

// Beyond this machine the console is served over HTTPS, with the certificate given; plain HTTP
// there must be asked for.
TEST_F(ServeTest, HttpsWithTheCertificateGiven) {
    const std::string cert = (m_root.Path() / "cert.pem").string();
    const std::string key = (m_root.Path() / "key.pem").string();
    const ProcessResult made = RunProcess(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                             "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj",
                             "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(made.exitCode, 0) << made.err;

    auto server = Start({"--tls-cert", cert, "--tls-key", key});
    EXPECT_NE(server->Out().find("console at https://127.0.0.1:"), std::string::npos);
    httplib::SSLClient client("127.0.0.1", server->Port());
    client.set_ca_cert_path(cert.c_str());
    client.enable_server_certificate_verification(true);
    const auto sessions = client.Get("/api/sessions", Bearer(*server));
    ASSERT_TRUE(sessions) << httplib::to_string(sessions.error());
    EXPECT_EQ(sessions->status, 200);
    EXPECT_EQ(StatusOf(client.Get("/api/sessions")), 401);
    // Plain HTTP on the HTTPS port gets no answer at all.
    EXPECT_FALSE(ClientOf(*server)->Get("/api/sessions", Bearer(*server)));
    ExpectCleanStop(*server);

    const std::string token = "--token-file=" + TokenFile().string();
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } refused[] = {
        {{"--listen", "0.0.0.0"}, "listening on 0.0.0.0 reaches other machines"},
        {{"--tls-cert", cert}, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", m_root.Path().string(), "--tls-key", key}, ": not a regular file"},
        {{"--tls-cert", key, "--tls-key", key}, "the TLS certificate (--tls-cert) cannot be used"},
        {{"--tls-cert", cert, "--tls-key", cert}, "the TLS key (--tls-key) cannot be used"},
    };
    for (const auto& example : refused) {
        std::vector<std::string> arguments = {"serve", token, "--port", "0"};
        arguments.insert(arguments.end(), example.arguments.begin(), example.arguments.end());
        const ProcessResult result = RunProcess(DORN_EXECUTABLE, arguments);
        EXPECT_EQ(result.exitCode, 2) << example.message << ": " << result.err;
        EXPECT_NE(result.err.find(example.message), std::string::npos) << result.err;
    }
}

TEST_F(ServeTest, StartFailures) {
    auto server = Start();
    // The port is taken, an option is wrong (each text: CommandLineTest), a registry file does
    // not parse.
    const std::string token = "--token-file=" + TokenFile().string();
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{"serve", token, "--port", std::to_string(server->Port())}, 1, "cannot listen on"},
        {{"serve", token, "--port", "65536"}, 2, "--port takes a port"},
        {{"serve", token, "--port", "0", "--registry", kFixtures + "counters/sessions.json"},
         2,
         "sessions.json"},
        {{"serve", "--token-file", m_root.Path().string(), "--port", "0"},
         1,
         "is not a regular file"},
    };
    for (const auto& example : cases) {
        const ProcessResult result = RunProcess(DORN_EXECUTABLE, example.arguments);
        EXPECT_EQ(result.exitCode, example.status) << example.message << ": " << result.err;
        EXPECT_NE(result.err.find(example.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    ExpectCleanStop(*server);
}

}  // namespace
}  // namespace dorn::test
