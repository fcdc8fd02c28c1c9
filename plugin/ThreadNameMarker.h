// The thread-name marker: a block "name=" + length byte + name + NUL hung in the current
// thread's information block (its arbitrary-user-pointer slot), where debuggers and dump tools
// look for a thread's name. Set and cleared only while UseThreadNames() is on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace CORE {

constexpr size_t kThreadNameMarkerMaxName = 254;

// Hangs a marker with `name` (cut to 254 bytes) on the current thread and publishes the name to
// the system; null clears and frees the current thread's marker.
void SetThreadNameMarker(const char* name);

// The current thread's marker block, or null.
const uint8_t* CurrentThreadNameMarker();

}  // namespace CORE
