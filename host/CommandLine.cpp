#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
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

[[noreturn]] void Refuse(const std::string& text) {
    throw CLI::ValidationError(text);
}

using ApplyValue = std::function<void(const std::string& value)>;

// Every option takes one value ("--name VALUE" or "--name=VALUE") and may repeat. It is applied
// as it is read, so each value is checked and the last one counts.
void AddOption(CLI::App& command, const std::string& name, const std::string& valueName,
               const std::string& description, ApplyValue apply) {
    command.add_option_function<std::string>(name, std::move(apply), description)
        ->type_name(valueName)
        ->trigger_on_parse();
}

// A whole decimal number from `low` to `high`; "+80", "0x50", " 1" and "" are refused.
template <class Number>
void AddNumber(CLI::App& command, const std::string& name, const std::string& valueName,
               const std::string& description, Number& number, long long low, long long high,
               const std::string& takes) {
    AddOption(command, name, valueName, description,
              [&number, low, high, refusal = name + " takes " + takes](const std::string& text) {
                  long long value = 0;
                  const auto [end, status] =
                      std::from_chars(text.data(), text.data() + text.size(), value);
                  if (status != std::errc() || end != text.data() + text.size() || value < low ||
                      value > high) {
                      Refuse(refusal + ", not '" + text + "'");
                  }
                  number = static_cast<Number>(value);
              });
}

ApplyValue AddPath(std::vector<std::filesystem::path>& paths) {
    return [&paths](const std::string& text) { paths.push_back(PathFromUtf8(text)); };
}

template <class Value>
ApplyValue SetPath(Value& path) {
    return [&path](const std::string& text) { path = PathFromUtf8(text); };
}

void AddHostOptions(CLI::App& command, HostOptions& options) {
    AddOption(command, "--registry", "FILE",
              "load a .reg file (regedit's format, UTF-16 or UTF-8) into the registry "
              "first; repeatable",
              AddPath(options.registryFiles));
    AddOption(command, "--counters", "FILE",
              "publish a counter file's objects (docs/counter-files.md); repeatable; Linux build",
              AddPath(options.counterFiles));
    AddOption(command, "--sessions", "FILE",
              "declare login sessions (docs/counter-files.md); repeatable; Linux build",
              AddPath(options.sessionsFiles));
    AddNumber(command, "--log-level", "N",
              "lowest log level written to stderr, 0 (debug) to 4 (error); default 3",
              options.logLevel, 0, 4, "a level from 0 to 4");
    AddNumber(command, "--perfmon-interval", "SECONDS",
              "how often the worker \"perfmon\" pushes its readings, 1 to 86400; default 5",
              options.perfmonIntervalSeconds, 1, 86400, "seconds from 1 to 86400");
    AddOption(command, "--plugin", "PATH",
              "the plug-in library (default: the one beside the dorn executable)",
              SetPath(options.pluginPath));
}

// The first word `command` did not take: an unknown option, or a word where none belongs.
bool Leftover(const CLI::App& command, const std::string& strayWord, std::string& error) {
    const std::vector<std::string> rest = command.remaining();
    if (rest.empty()) return false;
    error = rest[0].starts_with('-') ? "unknown option " + rest[0] : strayWord + rest[0] + "'";
    return true;
}

// dorn's commands and options, written into the options of each command as they are read.
class Grammar {
  public:
    Grammar() {
        app_.allow_extras();  // reported by Leftover, in dorn's words
        app_.require_subcommand(0, 1);
        app_.footer(
            "Exit status: 0 when the result is true (call) or after a clean stop (serve); 1 when "
            "the result is false,\nthe plug-in cannot be loaded or serve cannot start; 2 on a "
            "usage error (bad option, bad JSON,\na .reg, counter or sessions file that does not "
            "parse).");
        help_ = app_.add_subcommand("help", "");
        help_->group("");
        AddCall();
        AddServe();
        AddService();
    }

    std::string Help() const { return app_.help("", CLI::AppFormatMode::All); }

    bool Parse(const std::vector<std::string>& arguments, Command& command, std::string& error) {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        try {
            app_.parse(reversed);
        } catch (const CLI::CallForHelp&) {
            command = HelpCommand{Help()};
            return true;
        } catch (const CLI::ParseError& failure) {
            error = failure.what();
            return false;
        }
        if (Leftover(app_, "unknown command '", error) ||
            Leftover(*call_, "call does not take '", error) ||
            Leftover(*serve_, "serve takes options only, not '", error) ||
            Leftover(*service_, "unknown service action '", error) ||
            Leftover(*serviceInstall_, "service install takes options only, not '", error) ||
            Leftover(*serviceRun_, "service run takes options only, not '", error) ||
            Leftover(*serviceUninstall_, "service uninstall takes nothing more, not '", error)) {
            return false;
        }
        if (help_->parsed()) {
            command = HelpCommand{UsageText()};  // of dorn, not of "help"
        } else if (call_->parsed()) {
            if (!TakeEntries(error)) return false;
            command = std::move(callOptions_);
        } else if (serve_->parsed()) {
            if (!CheckTransport(error)) return false;
            command = std::move(serveOptions_);
        } else if (service_->parsed()) {
            if (!TakeService(arguments, error)) return false;
            command = std::move(serviceOptions_);
        } else {
            error = "no command given";
            return false;
        }
        return true;
    }

  private:
    void AddCall() {
        call_ = app_.add_subcommand(
            "call",
            "Loads the plug-in, calls its PluginInit, delivers one request through the framework "
            "to the worker\n\"AgentHelpDesk\", waits for the answer and prints it as JSON:\n"
            "  {\"result\": true|false, \"error\": {\"code\": N, \"text\": \"...\"}, \"reply\": "
            "{...}}\n\"error\" appears only when the plug-in set one.\nOpcodes: ClientInfo, "
            "LogonTimeInfo, VexelTelemetry (with SESSIONID=N), Performance, ProcessMetrics,\n"
            "EndProcess, ProtocolInfo, HistoricalMetrics, NewDataFromTrelPerfmon.");
        call_->allow_extras();
        call_->add_option("OPCODE", callOptions_.opcode, "the request's \"opcode\"")->type_name("");
        call_
            ->add_option("KEY=VALUE", entries_,
                         "an entry: an integer (32-bit when it fits, else 64-bit) when VALUE is "
                         "decimal, else text")
            ->type_name("");
        AddOption(*call_, "--request", "JSON",
                  "the whole request as a JSON object, opcode included",
                  [this](const std::string& text) { callOptions_.requestJson = text; });
        AddOption(*call_, "--operation", "NAME",
                  "the framework operation (default \"HelpdeskOperation\")",
                  [this](const std::string& text) { callOptions_.operation = text; });
        AddHostOptions(*call_, callOptions_);
    }

    void AddServe() {
        serve_ = app_.add_subcommand(
            "serve",
            "The long-running host: loads the plug-in once, runs the framework and \"perfmon\", "
            "and answers over\nHTTP until SIGINT or SIGTERM. POST /api/OPCODE takes the request "
            "as a JSON object and answers\nwith the JSON that \"call\" prints; GET / is the "
            "console page; GET /metrics the Prometheus metrics.\nEvery request needs the access "
            "token (Authorization: Bearer TOKEN, or the cookie\nthat /login?token=TOKEN sets). "
            "It prints where the console is:\n"
            "  dorn serve: console at http://ADDRESS:PORT/login?token=TOKEN");
        serve_->allow_extras();
        AddServeOptions(*serve_);
    }

    // The options of "serve", also taken by "service install" and "service run".
    void AddServeOptions(CLI::App& command) {
        AddHostOptions(command, serveOptions_);
        AddNumber(command, "--port", "N", "the TCP port, or 0 for any free one; default 8765",
                  serveOptions_.port, 0, 65535, "a port from 1 to 65535 (0: any free port)");
        AddOption(command, "--listen", "ADDR",
                  "listen here, not on 127.0.0.1: other machines then reach the console, "
                  "which needs --tls-cert and --tls-key (or --insecure-http)",
                  [this](const std::string& text) {
                      if (text.empty()) Refuse("--listen needs an address");
                      serveOptions_.address = text;
                  });
        AddOption(command, "--token-file", "PATH",
                  "the access token (default $XDG_CONFIG_HOME/dorn/token, else "
                  "~/.config/dorn/token; on Windows %LOCALAPPDATA%\\dorn\\token)",
                  SetPath(serveOptions_.tokenFile));
        AddOption(command, "--console", "DIR",
                  "the console page's files (default: \"console\" beside the dorn executable)",
                  SetPath(serveOptions_.consoleDirectory));
        AddOption(command, "--tls-cert", "FILE",
                  "serve HTTPS with this certificate chain (PEM), with --tls-key",
                  SetPath(serveOptions_.tlsCertificate));
        AddOption(command, "--tls-key", "FILE", "the certificate's private key (PEM)",
                  SetPath(serveOptions_.tlsKey));
        command.add_flag("--insecure-http", serveOptions_.insecureHttp,
                         "serve plain HTTP on an address other machines reach");
        AddNumber(command, "--metrics-interval", "SECONDS",
                  "how often the values of GET /metrics are sampled from the plug-in, 1 to "
                  "86400; default 15",
                  serveOptions_.metricsIntervalSeconds, 1, 86400, "seconds from 1 to 86400");
        AddNumber(command, "--metrics-processes", "N",
                  "GET /metrics shows the N processes with the largest processor share, 0 to "
                  "1000; default 0 (none)",
                  serveOptions_.metricsProcesses, 0, 1000, "a number from 0 to 1000");
    }

    void AddService() {
        service_ = app_.add_subcommand(
            "service",
            "Windows build: the service \"dorn\" (\"dorn help-desk agent host\") that runs "
            "\"dorn serve\" with the\nserve options given to install. Stop and shutdown stop it "
            "as SIGTERM stops serve.");
        service_->allow_extras();
        service_->require_subcommand(0, 1);
        serviceInstall_ = service_->add_subcommand(
            "install",
            "Installs the service, started automatically with Windows, as LocalSystem, running\n"
            "  \"PATH OF dorn.exe\" service run [OPTIONS]");
        serviceUninstall_ =
            service_->add_subcommand("uninstall", "Stops the service if it runs and removes it.");
        serviceRun_ = service_->add_subcommand(
            "run", "The service's own entry: started by the service control manager.");
        for (CLI::App* action : {serviceInstall_, serviceRun_}) {
            action->allow_extras();
            AddServeOptions(*action);
        }
        serviceUninstall_->allow_extras();
    }

    // The words after the action are kept for the service's command line.
    bool TakeService(const std::vector<std::string>& arguments, std::string& error) {
        using Action = ServiceOptions::Action;
        if (serviceInstall_->parsed()) {
            serviceOptions_.action = Action::Install;
        } else if (serviceUninstall_->parsed()) {
            serviceOptions_.action = Action::Uninstall;
        } else if (serviceRun_->parsed()) {
            serviceOptions_.action = Action::Run;
        } else {
            error = "service needs install, uninstall or run";
            return false;
        }
        if (serviceOptions_.action != Action::Uninstall && !CheckTransport(error)) return false;
        // Only --help may come before "service", and it never gets here.
        const auto service = std::find(arguments.begin(), arguments.end(), "service");
        if (arguments.end() - service > 2) {
            serviceOptions_.serveArguments.assign(service + 2, arguments.end());
        }
        serviceOptions_.serve = std::move(serveOptions_);
        return true;
    }

    // Beyond this machine the token must not cross the network in clear, unless the operator
    // says so.
    bool CheckTransport(std::string& error) const {
        const ServeOptions& options = serveOptions_;
        if (options.tlsCertificate.has_value() != options.tlsKey.has_value()) {
            error = "--tls-cert and --tls-key go together";
        } else if (options.tlsCertificate && options.insecureHttp) {
            error = "--insecure-http cannot go with --tls-cert and --tls-key";
        } else if (!options.tlsCertificate && !options.insecureHttp &&
                   !IsLoopbackAddress(options.address)) {
            error = "listening on " + options.address +
                    " reaches other machines: give --tls-cert and --tls-key, or --insecure-http "
                    "for plain HTTP";
        }
        return error.empty();
    }

    // The request is either --request or OPCODE with KEY=VALUE entries, wherever they stand.
    bool TakeEntries(std::string& error) {
        if (callOptions_.requestJson && (!callOptions_.opcode.empty() || !entries_.empty())) {
            error = "--request holds the whole request; '" +
                    (callOptions_.opcode.empty() ? entries_[0] : callOptions_.opcode) +
                    "' is not allowed beside it";
            return false;
        }
        if (!callOptions_.requestJson && callOptions_.opcode.empty()) {
            error = "call needs an OPCODE or --request";
            return false;
        }
        for (const std::string& word : entries_) {
            RequestEntry entry;
            if (!ParseRequestEntry(word, entry)) {
                error = "expected KEY=VALUE, not '" + word + "'";
                return false;
            }
            callOptions_.entries.push_back(std::move(entry));
        }
        return true;
    }

    CLI::App app_{"dorn is the agent's service host.", "dorn"};
    CLI::App* help_ = nullptr;
    CLI::App* call_ = nullptr;
    CLI::App* serve_ = nullptr;
    CLI::App* service_ = nullptr;
    CLI::App* serviceInstall_ = nullptr;
    CLI::App* serviceUninstall_ = nullptr;
    CLI::App* serviceRun_ = nullptr;
    CallOptions callOptions_;
    ServeOptions serveOptions_;
    ServiceOptions serviceOptions_;
    std::vector<std::string> entries_;
};

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
    return Grammar().Parse(arguments, command, error);
}

std::string UsageText() {
    return Grammar().Help();
}

bool IsLoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}
