// The failure check at the entry of every call that reports failure through the last error.
#pragma once

#include <windows.h>

#include "Faults.h"

namespace winport {

// True when a test armed a failure of `apiName`; the last error is then its code.
inline bool InjectedFailure(const char* apiName) {
    if (std::optional<uint32_t> code = TakeInjectedFailure(apiName)) {
        SetLastError(*code);
        return true;
    }
    return false;
}

}  // namespace winport
