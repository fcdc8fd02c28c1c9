// Owners of Windows handles: each closes its handle when it goes out of scope, on every path.
#pragma once

#include <windows.h>

#include <utility>

// `Traits` names the handle type (`pointer`), the value that means "none" (`Empty()`) and how
// to close one (`Close`).
template <typename Traits>
class UniqueHandle {
  public:
    using pointer = typename Traits::pointer;

    UniqueHandle() = default;
    explicit UniqueHandle(pointer handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer get() const { return m_handle; }
    explicit operator bool() const { return m_handle != Traits::Empty(); }

    // Closes the handle held (if any) and takes `handle`.
    void reset(pointer handle = Traits::Empty()) {
        pointer old = std::exchange(m_handle, handle);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    pointer release() { return std::exchange(m_handle, Traits::Empty()); }
    // For calls that return a handle through an out parameter; closes the one held before.
    pointer* put() {
        reset();
        return &m_handle;
    }

  private:
    pointer m_handle = Traits::Empty();
};

// Process, thread and token handles: null when none (OpenProcess fails with null).
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Empty() { return nullptr; }
    static void Close(pointer handle) { CloseHandle(handle); }
};

struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static pointer Empty() { return nullptr; }
    static void Close(pointer handle) { CloseServiceHandle(handle); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;
