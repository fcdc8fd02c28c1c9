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

size_t OpenRegistryKeyCount() {
    return winport::testing::OpenRegistryKeyCount();
}

}  // namespace dorn::test
