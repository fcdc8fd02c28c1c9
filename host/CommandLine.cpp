#include "CommandLine.h"

#include <charconv>
#include <functional>
#include <limits>

#include "Utf8Path.h"

namespace {

bool IsDecimalInteger(const std::string& text) {
    size_t digits = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool ParseLogLevel(const std::string& text, int& level) {
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), level);
    return status == std::errc() && end == text.data() + text.size() && level >= 0 && level <= 4;
}

constexpr int kLongestPerfmonInterval = 86400;

bool ParsePerfmonInterval(const std::string& text, int& seconds) {
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return status == std::errc() && end == text.data() + text.size() && seconds >= 1 &&
           seconds <= kLongestPerfmonInterval;
}

bool ParsePort(const std::string& text, uint16_t& port) {
    unsigned number = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (status != std::errc() || end != text.data() + text.size() || text.empty() ||
        number > std::numeric_limits<uint16_t>::max()) {
        return false;
    }
    port = static_cast<uint16_t>(number);
    return true;
}

// An option that takes a value: "--name VALUE" or "--name=VALUE".
bool TakeOptionValue(const std::vector<std::string>& arguments, size_t& index,
                     const std::string& name, std::string& value, std::string& error) {
    const std::string& argument = arguments[index];
    if (argument.size() > name.size() && argument[name.size()] == '=') {
        value = argument.substr(name.size() + 1);
        return true;
    }
    if (index + 1 >= arguments.size()) {
        error = name + " needs a value";
        return false;
    }
    value = arguments[++index];
    return true;
}

bool IsOption(const std::string& argument, const std::string& name) {
    return argument == name || argument.rfind(name + "=", 0) == 0;
}

// One option of a command: its name and what its value does; false with `error` for a bad one.
struct OptionRule {
    const char* name;
    std::function<bool(const std::string& value, std::string& error)> apply;
};

std::vector<OptionRule> HostOptionRules(HostOptions& options) {
    return {
        {"--registry",
         [&options](const std::string& value, std::string&) {
             options.registryFiles.push_back(PathFromUtf8(value));
             return true;
         }},
        {"--counters",
         [&options](const std::string& value, std::string&) {
             options.counterFiles.emplace_back(value);
             return true;
         }},
        {"--sessions",
         [&options](const std::string& value, std::string&) {
             options.sessionsFiles.emplace_back(value);
             return true;
         }},
        {"--log-level",
         [&options](const std::string& value, std::string& error) {
             if (ParseLogLevel(value, options.logLevel)) return true;
             error = "--log-level takes a level from 0 to 4, not '" + value + "'";
             return false;
         }},
        {"--perfmon-interval",
         [&options](const std::string& value, std::string& error) {
             if (ParsePerfmonInterval(value, options.perfmonIntervalSeconds)) return true;
             error = "--perfmon-interval takes seconds from 1 to 86400, not '" + value + "'";
             return false;
         }},
        {"--plugin",
         [&options](const std::string& value, std::string&) {
             options.pluginPath = PathFromUtf8(value);
             return true;
         }},
    };
}

std::vector<OptionRule> CallOptionRules(CallOptions& options) {
    std::vector<OptionRule> rules = HostOptionRules(options);
    rules.push_back({"--request", [&options](const std::string& value, std::string&) {
                         options.requestJson = value;
                         return true;
                     }});
    rules.push_back({"--operation", [&options](const std::string& value, std::string&) {
                         options.operation = value;
                         return true;
                     }});
    return rules;
}

std::vector<OptionRule> ServeOptionRules(ServeOptions& options) {
    std::vector<OptionRule> rules = HostOptionRules(options);
    rules.push_back({"--port", [&options](const std::string& value, std::string& error) {
                         if (ParsePort(value, options.port)) return true;
                         error = "--port takes a port from 1 to 65535 (0: any free port), not '" +
                                 value + "'";
                         return false;
                     }});
    rules.push_back({"--listen", [&options](const std::string& value, std::string& error) {
                         if (value.empty()) {
                             error = "--listen needs an address";
                             return false;
                         }
                         options.address = value;
                         return true;
                     }});
    rules.push_back({"--token-file", [&options](const std::string& value, std::string&) {
                         options.tokenFile = PathFromUtf8(value);
                         return true;
                     }});
    rules.push_back({"--console", [&options](const std::string& value, std::string&) {
                         options.consoleDirectory = PathFromUtf8(value);
                         return true;
                     }});
    return rules;
}

bool ParseOption(const std::vector<std::string>& arguments, size_t& index,
                 const std::vector<OptionRule>& rules, std::string& error) {
    const std::string& argument = arguments[index];
    for (const OptionRule& rule : rules) {
        if (!IsOption(argument, rule.name)) continue;
        std::string value;
        return TakeOptionValue(arguments, index, rule.name, value, error) &&
               rule.apply(value, error);
    }
    error = "unknown option " + argument;
    return false;
}

bool ParseCall(const std::vector<std::string>& arguments, size_t index, CallOptions& options,
               std::string& error) {
    const std::vector<OptionRule> rules = CallOptionRules(options);
    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument.rfind("--", 0) == 0) {
            if (!ParseOption(arguments, index, rules, error)) return false;
        } else if (options.opcode.empty() && !options.requestJson) {
            options.opcode = argument;
        } else {
            RequestEntry entry;
            if (options.requestJson || !ParseRequestEntry(argument, entry)) {
                error = options.requestJson ? "--request holds the whole request; '" + argument +
                                                  "' is not allowed beside it"
                                            : "expected KEY=VALUE, not '" + argument + "'";
                return false;
            }
            options.entries.push_back(std::move(entry));
        }
    }
    if (options.opcode.empty() && !options.requestJson) {
        error = "call needs an OPCODE or --request";
        return false;
    }
    return true;
}

bool ParseServe(const std::vector<std::string>& arguments, size_t index, ServeOptions& options,
                std::string& error) {
    const std::vector<OptionRule> rules = ServeOptionRules(options);
    for (; index < arguments.size(); ++index) {
        if (arguments[index].rfind("--", 0) != 0) {
            error = "serve takes options only, not '" + arguments[index] + "'";
            return false;
        }
        if (!ParseOption(arguments, index, rules, error)) return false;
    }
    return true;
}

bool AsksForHelp(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") return true;
    }
    return false;
}

// Parses a command's options into a fresh `Options` and stores it in `command`.
template <class Options>
bool ParseInto(bool (*parse)(const std::vector<std::string>&, size_t, Options&, std::string&),
               const std::vector<std::string>& arguments, Command& command, std::string& error) {
    if (AsksForHelp(arguments)) {
        command = HelpCommand{};
        return true;
    }
    Options options;
    if (!parse(arguments, 1, options, error)) return false;
    command = std::move(options);
    return true;
}

}  // namespace

bool ParseRequestEntry(const std::string& argument, RequestEntry& entry) {
    const size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    entry.key = argument.substr(0, equals);
    const std::string value = argument.substr(equals + 1);
    int64_t number = 0;
    const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (IsDecimalInteger(value) && status == std::errc() && end == value.data() + value.size()) {
        if (number >= std::numeric_limits<int32_t>::min() &&
            number <= std::numeric_limits<int32_t>::max()) {
            entry.value = static_cast<int32_t>(number);
        } else {
            entry.value = number;
        }
    } else {
        entry.value = value;
    }
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& arguments, Command& command,
                      std::string& error) {
    if (arguments.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& verb = arguments[0];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        command = HelpCommand{};
        return true;
    }
    if (verb == "call") return ParseInto(ParseCall, arguments, command, error);
    if (verb == "serve") return ParseInto(ParseServe, arguments, command, error);
    error = "unknown command '" + verb + "'";
    return false;
}

const char* UsageText() {
    return R"(Usage:
  dorn call [OPTIONS] OPCODE [KEY=VALUE]...
  dorn call [OPTIONS] --request JSON
  dorn serve [OPTIONS]
  dorn --help

dorn is the agent's service host. "call" loads the help-desk plug-in, calls its PluginInit,
delivers one request through the message framework to the worker "AgentHelpDesk", waits for
the answer (also when the plug-in answers later, from another thread) and prints it as JSON:
  {"result": true|false, "error": {"code": N, "text": "..."}, "reply": {...}}
"error" appears only when the plug-in set one.

The request holds "opcode" = OPCODE and one entry per KEY=VALUE: an integer when VALUE is a
decimal integer (32-bit when it fits, else 64-bit), text otherwise.

Opcodes: ClientInfo, LogonTimeInfo, VexelTelemetry (with SESSIONID=N), Performance,
ProcessMetrics, EndProcess, ProtocolInfo, HistoricalMetrics, NewDataFromTrelPerfmon.

Options:
  --request JSON     the whole request as a JSON object, opcode included; nested objects are
                     bags, arrays repeat their key
  --operation NAME   the framework operation (default "HelpdeskOperation")
  --registry FILE    load a .reg file (as regedit exports it, UTF-16 or UTF-8) into the
                     registry before the plug-in loads; repeatable. A file that does not parse
                     changes nothing.
  --counters FILE    publish the counter objects of a counter file (JSON, see
                     docs/counter-files.md), as the display protocols' components would;
                     re-read when it changes; repeatable (Linux build)
  --sessions FILE    declare login sessions (JSON, see docs/counter-files.md) for machines
                     without logind; repeatable (Linux build)
  --log-level N      lowest log level written to stderr, 0 (debug) to 4 (error); default 3
  --plugin PATH      the plug-in library (default: the one beside the dorn executable)
  --perfmon-interval SECONDS
                     how often the performance monitor worker "perfmon" pushes its readings
                     to the plug-in once configured, 1 to 86400; default 5
  -h, --help         this text

Exit status: 0 when the result is true, 1 when it is false or the plug-in cannot be loaded,
2 on a usage error (bad option, bad JSON, a .reg, counter or sessions file that does not
parse).

Examples:
  dorn call ClientInfo SESSIONID=3 --registry samples/sessions.reg
  dorn call --request '{"opcode": "ProcessMetrics", "SESSIONID": 2,
                        "processFilter": {"processSessionFilter": "CURRENT_USER_SESSION"}}'

"serve" is the long-running host: it loads the plug-in once, runs the framework and "perfmon",
and answers over HTTP until SIGINT or SIGTERM. POST /api/OPCODE takes the request as a JSON
object and answers with the JSON that "call" prints; GET / is the console page. Every request
needs the access token (Authorization: Bearer TOKEN, or the cookie that /login?token=TOKEN
sets). On start it prints "dorn serve: console at http://ADDRESS:PORT/login?token=TOKEN".
It takes --registry, --counters, --sessions, --log-level, --perfmon-interval and --plugin as
"call" does, and:
  --port N           the TCP port, 1 to 65535, or 0 for any free one; default 8765
  --listen ADDR      the address to listen on instead of 127.0.0.1; the console is then
                     reachable from other machines, over plain HTTP, guarded by the token only
  --token-file PATH  the access token's file (default $XDG_CONFIG_HOME/dorn/token, else
                     ~/.config/dorn/token); made at first start, readable by its owner only
  --console DIR      the console page's files (default: "console" beside the dorn executable)
Exit status of serve: 0 after a clean stop, 1 when it cannot start, 2 on a usage error.
)";
}
