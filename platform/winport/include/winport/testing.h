// Test control surface of the Linux Windows-API layer: make a named call fail with a chosen
// code. The real Windows build has no such surface; tests that need it are Linux-only.
#pragma once

#include <cstdint>
#include <string>

#include "../windef.h"

namespace winport::testing {

// The call `apiName` (for example "RegQueryValueExW") fails with `code` after `skip` calls
// have gone through, `times` times in a row (0 = every call from then on). A call that
// returns a status (registry, PDH, NT) returns the code; one that returns BOOL or a handle
// fails with the code as its last error.
WINPORT_API void FailCall(const std::string& apiName, uint32_t code, unsigned skip = 0,
                          unsigned times = 1);

// Forgets every failure that has not fired yet.
WINPORT_API void ClearFailures();

// Empties the whole registry hive (every key under every predefined root).
WINPORT_API void ResetRegistry();

// How many registry key handles are open (the predefined roots do not count), so tests can
// check that every key opened is closed again.
WINPORT_API size_t OpenRegistryKeyCount();

// Process layer: the directory GetSystemDirectoryW reports (empty: back to Z:\usr\sbin), the
// cgroup directory whose "*.service" subdirectories are the services (empty: the running
// systemd's, if any; one that does not exist: no service manager), and the number of open handles
// (leak checks).
WINPORT_API void SetSystemDirectory(const std::wstring& windowsPath);
WINPORT_API void SetServiceRoot(const std::string& linuxPath);
WINPORT_API size_t OpenHandleCount();

// Services: the D-Bus address of the bus where the service manager is asked first (empty: the
// system bus, or none when a test chose a service root), and the most services one
// EnumServicesStatusExW call returns (0: as many as fit in the buffer, up to 256 KiB).
WINPORT_API void SetServiceManagerBus(const std::string& address);
WINPORT_API void SetServiceBatchLimit(size_t services);

}  // namespace winport::testing
