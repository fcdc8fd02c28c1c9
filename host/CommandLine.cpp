#include "host/CommandLine.h"

#include <charconv>
#include <limits>

#include "host/Utf8Path.h"

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

bool ParseCallOption(const std::vector<std::string>& arguments, size_t& index,
                     CallOptions& options, std::string& error) {
    const std::string& argument = arguments[index];
    std::string value;
    if (IsOption(argument, "--request")) {
        if (!TakeOptionValue(arguments, index, "--request", value, error)) return false;
        options.requestJson = value;
    } else if (IsOption(argument, "--operation")) {
        if (!TakeOptionValue(arguments, index, "--operation", value, error)) return false;
        options.operation = value;
    } else if (IsOption(argument, "--registry")) {
        if (!TakeOptionValue(arguments, index, "--registry", value, error)) return false;
        options.registryFiles.push_back(PathFromUtf8(value));
    } else if (IsOption(argument, "--counters")) {
        if (!TakeOptionValue(arguments, index, "--counters", value, error)) return false;
        options.counterFiles.emplace_back(value);
    } else if (IsOption(argument, "--sessions")) {
        if (!TakeOptionValue(arguments, index, "--sessions", value, error)) return false;
        options.sessionsFiles.emplace_back(value);
    } else if (IsOption(argument, "--log-level")) {
        if (!TakeOptionValue(arguments, index, "--log-level", value, error)) return false;
        if (!ParseLogLevel(value, options.logLevel)) {
            error = "--log-level takes a level from 0 to 4, not '" + value + "'";
            return false;
        }
    } else if (IsOption(argument, "--perfmon-interval")) {
        if (!TakeOptionValue(arguments, index, "--perfmon-interval", value, error)) return false;
        if (!ParsePerfmonInterval(value, options.perfmonIntervalSeconds)) {
            error = "--perfmon-interval takes seconds from 1 to 86400, not '" + value + "'";
            return false;
        }
    } else if (IsOption(argument, "--plugin")) {
        if (!TakeOptionValue(arguments, index, "--plugin", value, error)) return false;
        options.pluginPath = PathFromUtf8(value);
    } else {
        error = "unknown option " + argument;
        return false;
    }
    return true;
}

bool ParseCall(const std::vector<std::string>& arguments, size_t index, CallOptions& options,
               std::string& error) {
    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument.rfind("--", 0) == 0) {
            if (!ParseCallOption(arguments, index, options, error)) return false;
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
    if (verb == "call") {
        for (const std::string& argument : arguments) {
            if (argument == "--help" || argument == "-h") {
                command = HelpCommand{};
                return true;
            }
        }
        CallOptions options;
        if (!ParseCall(arguments, 1, options, error)) return false;
        command = std::move(options);
        return true;
    }
    error = "unknown command '" + verb + "'";
    return false;
}

const char* UsageText() {
    return R"(Usage:
  dorn call [OPTIONS] OPCODE [KEY=VALUE]...
  dorn call [OPTIONS] --request JSON
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
)";
}
