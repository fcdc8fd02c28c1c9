// The command line of dorn: "dorn call [OPTIONS] OPCODE [KEY=VALUE]..." and "dorn --help".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct RequestEntry {
    std::string key;
    std::variant<std::string, int32_t, int64_t> value;
};

struct CallOptions {
    std::string operation = "HelpdeskOperation";
    std::optional<std::string> requestJson;  // the whole request, opcode included
    std::vector<std::filesystem::path> registryFiles;
    std::vector<std::filesystem::path> counterFiles;   // published counter objects
    std::vector<std::filesystem::path> sessionsFiles;  // declared login sessions
    int logLevel = 3;
    int perfmonIntervalSeconds = 5;  // how often "perfmon" pushes its readings
    std::optional<std::filesystem::path> pluginPath;
    std::string opcode;
    std::vector<RequestEntry> entries;
};

struct HelpCommand {};

using Command = std::variant<HelpCommand, CallOptions>;

// Arguments are UTF-8, without the program name. False with `error` on a usage error.
bool ParseCommandLine(const std::vector<std::string>& arguments, Command& command,
                      std::string& error);

// KEY=VALUE: a decimal VALUE becomes an integer (32-bit when it fits, else 64-bit), anything
// else text. False when the argument is not KEY=VALUE with a non-empty KEY.
bool ParseRequestEntry(const std::string& argument, RequestEntry& entry);

const char* UsageText();
