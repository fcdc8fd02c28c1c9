// The sandbox on Windows: HKEY_LOCAL_MACHINE redirected to a private key of its own.
#include <stdexcept>
#include <string>

#include "TestRegistry.h"

namespace dorn::test {

// A test must not run when its writes would reach the machine's own registry: the exception
// ends it before its body (GoogleTest reports it as a failure).
RegistrySandbox::RegistrySandbox() {
    std::string error;
    if (!m_machine.Open({}, error)) throw std::runtime_error("no private registry: " + error);
}

RegistrySandbox::~RegistrySandbox() = default;

}  // namespace dorn::test
