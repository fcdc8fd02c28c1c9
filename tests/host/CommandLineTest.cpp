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
    EXPECT_EQ(defaults.port, 8765);
    EXPECT_EQ(defaults.address, "127.0.0.1");
    EXPECT_FALSE(defaults.tokenFile || defaults.consoleDirectory);

    ASSERT_TRUE(ParseCommandLine(
        {"serve", "--port", "0", "--listen=::1", "--registry", "a.reg", "--token-file", "t",
         "--console=c", "--perfmon-interval", "9", "--port=65535"},
        command, error))
        << error;
    const auto& options = std::get<ServeOptions>(command);
    EXPECT_EQ(options.port, 65535);
    EXPECT_EQ(options.address, "::1");
    ASSERT_EQ(options.registryFiles.size(), 1u);
    EXPECT_EQ(options.tokenFile, "t");
    EXPECT_EQ(options.consoleDirectory, "c");
    EXPECT_EQ(options.perfmonIntervalSeconds, 9);
    ASSERT_TRUE(ParseCommandLine({"serve", "--port", "1", "-h"}, command, error));
    EXPECT_TRUE(std::holds_alternative<HelpCommand>(command));
}

TEST(CommandLineTest, UsageErrorsSayWhatIsWrong) {
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{}, "no command given"},
        {{"call"}, "call needs an OPCODE or --request"},
        {{"call", "--log-level", "-1", "X"}, "--log-level takes a level from 0 to 4, not '-1'"},
        {{"call", "X", "--plugin"}, "--plugin needs a value"},
        {{"call", "--request", "{}", "X"},
         "--request holds the whole request; 'X' is not allowed beside it"},
        {{"call", "X", "y"}, "expected KEY=VALUE, not 'y'"},
        {{"call", "--what", "X"}, "unknown option --what"},
        {{"launch"}, "unknown command 'launch'"},
        {{"serve", "--port", "65536"},
         "--port takes a port from 1 to 65535 (0: any free port), not '65536'"},
        {{"serve", "--port="}, "--port takes a port from 1 to 65535 (0: any free port), not ''"},
        {{"serve", "--port", "+80"},
         "--port takes a port from 1 to 65535 (0: any free port), not '+80'"},
        {{"serve", "--listen="}, "--listen needs an address"},
        {{"serve", "--request", "{}"}, "unknown option --request"},
        {{"serve", "ClientInfo"}, "serve takes options only, not 'ClientInfo'"},
    };
    for (const auto& example : cases) {
        Command command;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(example.arguments, command, error));
        EXPECT_EQ(error, example.message);
    }
}

}  // namespace
}  // namespace dorn::test
