// The command line of dorn: "dorn call [OPTIONS] OPCODE [KEY=VALUE]...", "dorn serve [OPTIONS]",
// "dorn service install|uninstall|run [OPTIONS]" (Windows) and "dorn --help" (also "dorn help"
// and -h after a command).
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

// What every command that runs the plug-in is given: the machine it sees and how it logs.
struct HostOptions {
    std::vector<std::filesystem::path> registryFiles;
    std::vector<std::filesystem::path> counterFiles;   // published counter objects
    std::vector<std::filesystem::path> sessionsFiles;  // declared login sessions
    int logLevel = 3;
    int perfmonIntervalSeconds = 5;  // how often "perfmon" pushes its readings
    std::optional<std::filesystem::path> pluginPath;
};

struct CallOptions : HostOptions {
    std::string operation = "HelpdeskOperation";
    std::optional<std::string> requestJson;  // the whole request, opcode included
    std::string opcode;
    std::vector<RequestEntry> entries;
};

inline constexpr uint16_t kDefaultServePort = 8765;
inline constexpr const char* kDefaultServeAddress = "127.0.0.1";

struct ServeOptions : HostOptions {
    std::string address = kDefaultServeAddress;
    uint16_t port = kDefaultServePort;  // 0: any free port
    std::optional<std::filesystem::path> tokenFile;
    std::optional<std::filesystem::path> consoleDirectory;
    // HTTPS: a PEM certificate chain and its key, given together.
    std::optional<std::filesystem::path> tlsCertificate;
    std::optional<std::filesystem::path> tlsKey;
    // Plain HTTP on an address other machines reach, taken knowingly.
    bool insecureHttp = false;
    int metricsIntervalSeconds = 15;  // how often GET /metrics's values are sampled
    int metricsProcesses = 0;         // processes with series of their own in GET /metrics
};

// "dorn service ACTION": the Windows service that runs "dorn serve".
struct ServiceOptions {
    enum class Action { Install, Uninstall, Run };
    Action action = Action::Run;
    ServeOptions serve;
    // The serve options as given, which install passes on to the service's command line.
    std::vector<std::string> serveArguments;
};

struct HelpCommand {
    std::string text;  // of every command, or of the one that -h followed
};

using Command = std::variant<HelpCommand, CallOptions, ServeOptions, ServiceOptions>;

// Arguments are UTF-8, without the program name. False with `error` on a usage error.
bool ParseCommandLine(const std::vector<std::string>& arguments, Command& command,
                      std::string& error);

// KEY=VALUE: a decimal VALUE becomes an integer (32-bit when it fits, else 64-bit), anything
// else text. False when the argument is not KEY=VALUE with a non-empty KEY.
bool ParseRequestEntry(const std::string& argument, RequestEntry& entry);

std::string UsageText();

// True for 127.0.0.0/8, ::1 and "localhost": addresses other machines cannot reach.
bool IsLoopbackAddress(const std::string& address);
