// How dorn reads its command line and turns KEY=VALUE into typed request entries.
#include <gtest/gtest.h>

#include "CommandLine.h"

namespace dorn::test {
namespace {

TEST(CommandLineTest, KeyValueIsAnIntegerOnlyWhenDecimal) {
    const struct {
        const char* argument;
        std::variant<std::string, int32_t, int64_t> value;
    } cases[] = {
        {"SESSIONID=3", int32_t{3}},
        {"a=-2147483648", int32_t{INT32_MIN}},
        {"a=2147483648", int64_t{2147483648LL}},
        {"a=-2147483649", int64_t{-2147483649LL}},
        {"a=9223372036854775807", int64_t{INT64_MAX}},
        {"a=9223372036854775808", std::string("9223372036854775808")},
        {"a=007", int32_t{7}},
        {"a=+1", std::string("+1")},
        {"a= 1", std::string(" 1")},
        {"a=-", std::string("-")},
        {"a=", std::string()},
        {"a=1=2", std::string("1=2")},
        {"processName=sleep", std::string("sleep")},
    };
    for (const auto& example : cases) {
        RequestEntry entry;
        ASSERT_TRUE(ParseRequestEntry(example.argument, entry)) << example.argument;
        EXPECT_EQ(entry.value, example.value) << example.argument;
    }
    RequestEntry entry;
    EXPECT_FALSE(ParseRequestEntry("=1", entry));
    EXPECT_FALSE(ParseRequestEntry("novalue", entry));
}

TEST(CommandLineTest, OptionsMayStandAnywhereAndRepeat) {
    Command command;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"call", "--registry", "a.reg", "ClientInfo", "SESSIONID=3",
                                  "--registry=b.reg", "--log-level=0", "--operation", "X"},
                                 command, error))
        << error;
    const auto& options = std::get<CallOptions>(command);
    EXPECT_EQ(options.opcode, "ClientInfo");
    ASSERT_EQ(options.registryFiles.size(), 2u);
    EXPECT_EQ(options.registryFiles[1], "b.reg");
    EXPECT_EQ(options.logLevel, 0);
    EXPECT_EQ(options.operation, "X");
    ASSERT_EQ(options.entries.size(), 1u);
    EXPECT_EQ(options.entries[0].key, "SESSIONID");
}

TEST(CommandLineTest, ServeTakesTheHostOptionsAndItsOwn) {
    Command command;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"serve"}, command, error)) << error;
    const auto& defaults = std::get<ServeOptions>(command);
    EXPECT_EQ(defaults.address, "127.0.0.1");
    EXPECT_FALSE(defaults.tokenFile || defaults.consoleDirectory || defaults.pluginPath);

    ASSERT_TRUE(ParseCommandLine({"serve", "--listen=::1", "--registry", "a.reg", "--token-file",
                                  "t", "--console=c", "--sessions", "s.json", "--counters=c.json",
                                  "--plugin", "p.so", "--tls-cert", "c.pem", "--tls-key=k.pem"},
                                 command, error))
        << error;
    const auto& options = std::get<ServeOptions>(command);
    EXPECT_EQ(options.address, "::1");
    EXPECT_EQ(options.registryFiles, std::vector<std::filesystem::path>{"a.reg"});
    EXPECT_EQ(options.sessionsFiles, std::vector<std::filesystem::path>{"s.json"});
    EXPECT_EQ(options.counterFiles, std::vector<std::filesystem::path>{"c.json"});
    EXPECT_EQ(options.tokenFile, "t");
    EXPECT_EQ(options.consoleDirectory, "c");
    EXPECT_EQ(options.pluginPath, "p.so");
    EXPECT_EQ(options.tlsCertificate, "c.pem");
    EXPECT_EQ(options.tlsKey, "k.pem");
    EXPECT_FALSE(options.insecureHttp);

    ASSERT_TRUE(
        ParseCommandLine({"serve", "--listen", "0.0.0.0", "--insecure-http"}, command, error))
        << error;
    EXPECT_TRUE(std::get<ServeOptions>(command).insecureHttp);
}

// The serve options given to install are checked, and kept as given for the service's own
// command line.
TEST(CommandLineTest, ServiceKeepsTheServeOptionsAsGiven) {
    using Action = ServiceOptions::Action;
    const struct {
        std::vector<std::string> arguments;
        Action action;
        std::vector<std::string> serveArguments;
        int port;
    } cases[] = {
        {{"service", "install", "--port", "9000", "--registry=C:\\a b.reg"},
         Action::Install,
         {"--port", "9000", "--registry=C:\\a b.reg"},
         9000},
        {{"service", "run", "--log-level", "1"}, Action::Run, {"--log-level", "1"}, 8765},
        {{"service", "uninstall"}, Action::Uninstall, {}, 8765},
    };
    for (const auto& example : cases) {
        Command command;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(example.arguments, command, error)) << error;
        const auto& options = std::get<ServiceOptions>(command);
        EXPECT_EQ(options.action, example.action);
        EXPECT_EQ(options.serveArguments, example.serveArguments);
        EXPECT_EQ(options.serve.port, example.port);
    }
}

// Each number takes its whole range, ends included, and the last one given counts.
TEST(CommandLineTest, NumbersTakeTheirWholeRange) {
    const struct {
        std::vector<std::string> arguments;
        int logLevel;
        int perfmonIntervalSeconds;
        int port;
        int metricsIntervalSeconds;
        int metricsProcesses;
    } cases[] = {
        {{"serve"}, 3, 5, 8765, 15, 0},
        {{"serve", "--log-level", "0", "--perfmon-interval", "1", "--port", "0",
          "--metrics-interval", "1", "--metrics-processes", "0"},
         0,
         1,
         0,
         1,
         0},
        {{"serve", "--log-level=4", "--perfmon-interval=86400", "--port=65535",
          "--metrics-interval=86400", "--metrics-processes=1000"},
         4,
         86400,
         65535,
         86400,
         1000},
        {{"serve", "--port", "1", "--port=007", "--log-level", "2", "--log-level", "1"},
         1,
         5,
         7,
         15,
         0},
    };
    for (const auto& example : cases) {
        Command command;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(example.arguments, command, error)) << error;
        const auto& options = std::get<ServeOptions>(command);
        EXPECT_EQ(options.logLevel, example.logLevel);
        EXPECT_EQ(options.perfmonIntervalSeconds, example.perfmonIntervalSeconds);
        EXPECT_EQ(options.port, example.port);
        EXPECT_EQ(options.metricsIntervalSeconds, example.metricsIntervalSeconds);
        EXPECT_EQ(options.metricsProcesses, example.metricsProcesses);
    }
}

// -h and --help win wherever they stand and give the help of the command before them.
TEST(CommandLineTest, HelpShowsTheCommandItFollows) {
    const struct {
        std::vector<std::string> arguments;
        const char* shows;
        const char* leavesOut;
    } cases[] = {
        {{"--help"}, "--listen ADDR", "Usage: dorn call"},
        {{"help"}, "--request JSON", "Usage: dorn help"},
        {{"call", "--what", "X", "-h"},
         "Usage: dorn call [OPTIONS] [OPCODE] [KEY=VALUE...]",
         "--listen"},
        {{"serve", "--port", "1", "--help"}, "Usage: dorn serve [OPTIONS]", "--request"},
    };
    for (const auto& example : cases) {
        Command command;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(example.arguments, command, error)) << error;
        const std::string& text = std::get<HelpCommand>(command).text;
        EXPECT_NE(text.find(example.shows), std::string::npos) << text;
        EXPECT_EQ(text.find(example.leavesOut), std::string::npos) << text;
    }
}

TEST(CommandLineTest, UsageErrorsSayWhatIsWrong) {
    const std::string port = "--port takes a port from 1 to 65535 (0: any free port), not ";
    const std::string interval = "--perfmon-interval takes seconds from 1 to 86400, not ";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{}, "no command given"},
        {{"launch"}, "unknown command 'launch'"},
        {{"--what", "call", "X"}, "unknown option --what"},
        {{"call"}, "call needs an OPCODE or --request"},
        {{"call", "X", "--plugin"}, "--plugin: 1 required PATH missing"},
        {{"call", "--request", "{}", "X"},
         "--request holds the whole request; 'X' is not allowed beside it"},
        {{"call", "X", "--request", "{}"},
         "--request holds the whole request; 'X' is not allowed beside it"},
        {{"call", "X", "y"}, "expected KEY=VALUE, not 'y'"},
        {{"call", "X", "=1"}, "expected KEY=VALUE, not '=1'"},
        {{"call", "--what", "X"}, "unknown option --what"},
        {{"call", "X", "--what=1"}, "unknown option --what=1"},
        {{"call", "--", "X"}, "unknown option --"},
        {{"call", "--log-level", "-1", "X"}, "--log-level takes a level from 0 to 4, not '-1'"},
        {{"call", "--log-level=5", "X"}, "--log-level takes a level from 0 to 4, not '5'"},
        {{"call", "--log-level", "3", "--log-level", "x", "X"},
         "--log-level takes a level from 0 to 4, not 'x'"},
        {{"serve", "--perfmon-interval", "0"}, interval + "'0'"},
        {{"serve", "--perfmon-interval", "86401"}, interval + "'86401'"},
        {{"serve", "--perfmon-interval", "soon"}, interval + "'soon'"},
        {{"serve", "--port", "65536"}, port + "'65536'"},
        {{"serve", "--port", "-1"}, port + "'-1'"},
        {{"serve", "--port="}, "--port: 1 required N missing"},
        {{"serve", "--port", ""}, port + "''"},
        {{"serve", "--port", "+80"}, port + "'+80'"},
        {{"serve", "--port", "0x50"}, port + "'0x50'"},
        {{"serve", "--port", "99999999999999999999"}, port + "'99999999999999999999'"},
        {{"serve", "--listen", ""}, "--listen needs an address"},
        {{"serve", "--listen", "192.0.2.1"},
         "listening on 192.0.2.1 reaches other machines: give --tls-cert and --tls-key, or "
         "--insecure-http for plain HTTP"},
        {{"serve", "--tls-key", "k"}, "--tls-cert and --tls-key go together"},
        {{"serve", "--tls-cert", "c", "--tls-key", "k", "--insecure-http"},
         "--insecure-http cannot go with --tls-cert and --tls-key"},
        {{"serve", "--metrics-interval", "0"},
         "--metrics-interval takes seconds from 1 to 86400, not '0'"},
        {{"serve", "--metrics-interval", "86401"},
         "--metrics-interval takes seconds from 1 to 86400, not '86401'"},
        {{"serve", "--metrics-processes", "-1"},
         "--metrics-processes takes a number from 0 to 1000, not '-1'"},
        {{"serve", "--metrics-processes", "1001"},
         "--metrics-processes takes a number from 0 to 1000, not '1001'"},
        {{"serve", "--request", "{}"}, "unknown option --request"},
        {{"serve", "ClientInfo"}, "serve takes options only, not 'ClientInfo'"},
        {{"service"}, "service needs install, uninstall or run"},
        {{"service", "start"}, "unknown service action 'start'"},
        {{"service", "--port", "1"}, "unknown option --port"},
        {{"service", "install", "ClientInfo"},
         "service install takes options only, not 'ClientInfo'"},
        {{"service", "run", "x"}, "service run takes options only, not 'x'"},
        {{"service", "uninstall", "--port", "1"}, "unknown option --port"},
        {{"service", "install", "--port", "65536"}, port + "'65536'"},
        {{"service", "run", "--listen", "192.0.2.1"},
         "listening on 192.0.2.1 reaches other machines: give --tls-cert and --tls-key, or "
         "--insecure-http for plain HTTP"},
    };
    for (const auto& example : cases) {
        Command command;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(example.arguments, command, error))
            << ::testing::PrintToString(example.arguments);
        EXPECT_EQ(error, example.message);
    }
}

}  // namespace
}  // namespace dorn::test
