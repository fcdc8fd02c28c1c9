#include <winport/testing.h>

#include "FaultInjection.h"

namespace dorn::test {

bool HasLinuxApiLayer() {
    return true;
}

bool CanInjectFaults() {
    return HasLinuxApiLayer();
}

void FailCall(const std::string& apiName, DWORD code, unsigned skip, unsigned times) {
    winport::testing::FailCall(apiName, code, skip, times);
}

void ForgetInjectedFaults() {
    winport::testing::ClearFailures();
}

std::optional<size_t> OpenHandleCount() {
    return winport::testing::OpenHandleCount();
}

size_t OpenRegistryKeyCount() {
    return winport::testing::OpenRegistryKeyCount();
}

}  // namespace dorn::test
