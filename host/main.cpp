// dorn: the agent's service host.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "CallCommand.h"
#include "CommandLine.h"
#include "ProgramArguments.h"
#include "ServeCommand.h"
#include "ServiceCommand.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

int Run(int argc, char** argv) {
    std::vector<std::string> arguments;
    Command command;
    std::string error;
    if (!ProgramArguments(argc, argv, arguments, error) ||
        !ParseCommandLine(arguments, command, error)) {
        std::cerr << "dorn: " << error << "\n\n" << UsageText();
        return kExitUsage;
    }
    return std::visit(Overloaded{[](const HelpCommand& help) {
                                     std::cout << help.text;
                                     return 0;
                                 },
                                 [](const CallOptions& options) { return RunCall(options); },
                                 [](const ServeOptions& options) { return RunServe(options); },
                                 [](const ServiceOptions& options) { return RunService(options); }},
                      command);
}

}  // namespace

// Whatever a command did not foresee ends the run with a line on standard error, never with an
// abort.
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << "dorn: " << failure.what() << "\n";
    } catch (...) {
        std::cerr << "dorn: an unexpected failure\n";
    }
    return kExitFailed;
}
