// "dorn serve": the long-running agent host, answering over HTTP until SIGINT or SIGTERM.
#pragma once

#include "CommandLine.h"

// Exit status: 0 after a clean stop, 1 when it cannot start or serving fails, 2 on bad input.
int RunServe(const ServeOptions& options);
