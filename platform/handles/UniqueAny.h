// One owner for every kind of handle. The traits say what the handle is, which value holds
// nothing and how to close one; each kind is a one-line alias (UniqueHandle.h, UniqueFd.h), so a
// reader sees the kind in the type and never looks for a close call.
#pragma once

#include <utility>

// Traits name `pointer`, `Empty()` (the value that holds nothing), `IsEmpty(value)` and
// `Close(value)`.
template <typename Traits>
class UniqueAny {
  public:
    using pointer = typename Traits::pointer;

    UniqueAny() = default;
    explicit UniqueAny(pointer value) : m_value(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;

    pointer get() const { return m_value; }
    explicit operator bool() const { return !Traits::IsEmpty(m_value); }

    // Closes what is held (if anything) and takes `value`.
    void reset(pointer value = Traits::Empty()) {
        const pointer old = std::exchange(m_value, value);
        if (!Traits::IsEmpty(old)) Traits::Close(old);
    }
    // Gives the handle up without closing it.
    pointer release() { return std::exchange(m_value, Traits::Empty()); }
    // For calls that hand a new handle back through an out parameter: closes what is held first,
    // so a call that fails without writing leaves the owner empty.
    pointer* put() {
        reset();
        return &m_value;
    }

  private:
    pointer m_value = Traits::Empty();
};

// Traits of a handle kind whose one "nothing" value is `EmptyValue`; a kind adds `Close`.
template <typename Pointer, Pointer EmptyValue = Pointer{}>
struct EmptyWhen {
    using pointer = Pointer;
    static constexpr pointer Empty() { return EmptyValue; }
    static constexpr bool IsEmpty(pointer value) { return value == EmptyValue; }
};
