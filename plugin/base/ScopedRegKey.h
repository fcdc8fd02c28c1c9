// An open registry key that closes itself.
#pragma once

#include <windows.h>

class ScopedRegKey {
public:
    ScopedRegKey() = default;
    ~ScopedRegKey() { reset(); }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    HKEY get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }
    // For calls that open a key into an out parameter; closes the key held before.
    HKEY* put() {
        reset();
        return &m_key;
    }
    void reset() {
        if (m_key != nullptr) RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};
