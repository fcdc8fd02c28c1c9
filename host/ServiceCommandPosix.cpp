#include <iostream>

#include "ServiceCommand.h"

// Linux runs "dorn serve" under its own service manager (a systemd unit), not through dorn.
int RunService(const ServiceOptions&) {
    std::cerr << "dorn: dorn service exists only in the Windows build; run dorn serve instead\n";
    return 2;
}
