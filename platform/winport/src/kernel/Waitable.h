// Kernel objects a thread can wait on.
#pragma once

#include <chrono>
#include <optional>

#include "Handles.h"

namespace winport {

class Waitable : public HandleObject {
  public:
    // True once signalled; waits at most `timeout` (nullopt: for good).
    virtual bool WaitSignalled(std::optional<std::chrono::milliseconds> timeout) = 0;
};

}  // namespace winport
