// Builds without the HTTP server library (Windows) have no "dorn serve".
#include <iostream>

#include "ServeCommand.h"

int RunServe(const ServeOptions&) {
    std::cerr << "dorn: dorn serve is not part of this build\n";
    return 2;
}
