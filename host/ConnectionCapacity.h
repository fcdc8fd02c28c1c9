// How many connections "dorn serve" holds at once, and what the process needs for them.
#pragma once

#include <cstddef>

// Readies the process for many clients (on Linux: a write to a socket whose client went away
// must not end it, and each connection takes a descriptor) and says how many it takes.
size_t PrepareConnectionCapacity();
