// The sandbox over winport's in-memory hive, which the process owns: emptied around each test.
#include <winport/testing.h>

#include "TestRegistry.h"

namespace dorn::test {

RegistrySandbox::RegistrySandbox() {
    winport::testing::ResetRegistry();
}

RegistrySandbox::~RegistrySandbox() {
    winport::testing::ClearFailures();
    winport::testing::ResetRegistry();
}

}  // namespace dorn::test
