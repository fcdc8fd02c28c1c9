// "dorn serve": the long-running agent host, answering over HTTP until SIGINT or SIGTERM.
#pragma once

#include <functional>

#include "CommandLine.h"

// Exit status: 0 after a clean stop, 1 when it cannot start or serving fails, 2 on bad input.
// `serving`, when given, is called once the console answers (a service reports it running).
int RunServe(const ServeOptions& options, const std::function<void()>& serving = {});
