// Waiting for what another thread does. The limit only guards against hangs; no test passes or
// fails on how long something took.
#pragma once

#include <chrono>
#include <thread>

namespace dorn::test {

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace dorn::test
