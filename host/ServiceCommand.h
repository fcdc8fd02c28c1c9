// "dorn service": the Windows service "dorn" that runs "dorn serve". install registers it with
// the service control manager, uninstall stops and removes it, run is the entry the service
// control manager starts.
#pragma once

#include "CommandLine.h"

// Exit status: 0 when done (run: after a clean stop), 1 when the service manager refuses, 2 on
// bad input or on a build without services.
int RunService(const ServiceOptions& options);
