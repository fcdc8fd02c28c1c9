// Making a Windows call fail on purpose, and counting open keys and handles, are services of our
// Linux API layer (winport); the system's own API has neither. A test built on them begins with
//     if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

namespace dorn::test {

inline constexpr const char* kNoFaultInjection = "fault injection needs the Linux API layer";

// True where the Windows calls are our Linux API layer, which tests can steer.
bool HasLinuxApiLayer();
bool CanInjectFaults();

// The call `apiName` (e.g. "RegQueryValueExW") fails with `code` after `skip` calls went
// through, `times` times in a row (0: every call from then on). Where faults cannot be injected
// the calling test fails.
void FailCall(const std::string& apiName, DWORD code, unsigned skip = 0, unsigned times = 1);
// Forgets the faults armed with FailCall that have not fired (none can be armed elsewhere).
void ForgetInjectedFaults();

// How many registry keys the process has open, for checks that every key opened is closed
// again; counted by the same layer.
size_t OpenRegistryKeyCount();
// Open handles of this process (threads, processes, PDH queries, ...); nullopt where uncounted.
std::optional<size_t> OpenHandleCount();

}  // namespace dorn::test
