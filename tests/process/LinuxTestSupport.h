// Linux itself, for the Linux-only process tests.
#pragma once

#include <functional>

namespace dorn::test {

// Runs `body` on a thread whose capability sets lack `capability` (Linux capabilities are per
// thread), and waits for it.
void RunWithoutCapability(int capability, const std::function<void()>& body);
// Whether pid 2 is the kernel thread kthreadd (not so in every container).
bool IsKernelThread2();

}  // namespace dorn::test
