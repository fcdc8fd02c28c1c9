// The process's environment as the C library's getenv reads it.
#pragma once

#include <cstdlib>

namespace dorn::test {

inline void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

}  // namespace dorn::test
