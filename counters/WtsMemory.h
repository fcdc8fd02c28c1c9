// Memory that a terminal-services call allocated, freed with WTSFreeMemory when the holder ends.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

template <typename T>
class WtsMemory {
  public:
    WtsMemory() = default;
    ~WtsMemory() { reset(); }
    WtsMemory(const WtsMemory&) = delete;
    WtsMemory& operator=(const WtsMemory&) = delete;

    T* get() const { return m_memory; }
    // For the call's out parameter; frees what was held before.
    T** put() {
        reset();
        return &m_memory;
    }
    void reset() {
        if (m_memory != nullptr) WTSFreeMemory(m_memory);
        m_memory = nullptr;
    }

  private:
    T* m_memory = nullptr;
};
