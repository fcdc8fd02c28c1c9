#include <gtest/gtest.h>

#include "FaultInjection.h"

namespace dorn::test {

bool HasLinuxApiLayer() {
    return false;
}

bool CanInjectFaults() {
    return HasLinuxApiLayer();
}

// Reached only by a test that forgot to skip: it must not pass without its fault.
void FailCall(const std::string& apiName, DWORD, unsigned, unsigned) {
    ADD_FAILURE() << "cannot make " << apiName << " fail: " << kNoFaultInjection;
}

void ForgetInjectedFaults() {}

std::optional<size_t> OpenHandleCount() {
    return std::nullopt;
}

size_t OpenRegistryKeyCount() {
    ADD_FAILURE() << "cannot count open registry keys: the system has no call for it";
    return 0;
}

}  // namespace dorn::test
