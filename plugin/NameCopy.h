// Thread and group names are kept as plain C strings the object owns (released with delete[]),
// as the framework's thread classes hand them out.
#pragma once

#include <cstring>

namespace CORE {

inline char* CopyName(const char* name) {
    if (name == nullptr) return nullptr;
    const size_t size = std::strlen(name) + 1;
    char* copy = new char[size];
    std::memcpy(copy, name, size);
    return copy;
}

}  // namespace CORE
