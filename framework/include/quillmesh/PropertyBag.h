// CORE::PropertyBag: the framework's keyed record. Entries keep the order in which they were
// added; a key may repeat (a list is one nested bag per element under the same key). A bag can
// carry an error: a code and a text, set on a reply that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quillmesh/QuillmeshApi.h"
#include "quillmesh/corestring.h"

namespace CORE {

class QUILLMESH_API PropertyBag {
  public:
    enum class ValueType { Text, Int, Int64, Bool, Bag };

    PropertyBag();
    PropertyBag(const PropertyBag& other);
    PropertyBag(PropertyBag&& other) noexcept;
    PropertyBag& operator=(const PropertyBag& other);
    PropertyBag& operator=(PropertyBag&& other) noexcept;
    ~PropertyBag();

    // Each add appends one entry; keys are compared exactly (case-sensitive).
    void add(const wchar_t* key, const wchar_t* text);
    void add(const wchar_t* key, const std::wstring& text);
    void addInt(const wchar_t* key, int32_t value);
    void addInt64(const wchar_t* key, int64_t value);
    void addBool(const wchar_t* key, bool value);
    // Adds a copy of `bag`. replace false appends (a repeated key makes a list); replace true
    // removes the key's existing entries first.
    void addBag(const wchar_t* key, const PropertyBag& bag, bool replace = false);

    // Readers take the first entry with the key. An absent key, or an entry of another type,
    // gives the default: an integer is never read as text, nor text as an integer. getInt reads a
    // 64-bit entry as its low 32 bits, as a cast does; getInt64 reads both widths.
    corestring<wchar_t> get(const wchar_t* key, const wchar_t* fallback = L"") const;
    int32_t getInt(const wchar_t* key, int32_t fallback = 0) const;
    int64_t getInt64(const wchar_t* key, int64_t fallback = 0) const;
    bool getBool(const wchar_t* key, bool fallback = false) const;
    // A copy of the first nested bag under the key; an empty bag when there is none.
    PropertyBag getBag(const wchar_t* key) const;
    // Walks the nested bags under a repeated key. Start with position 0; returns the position to
    // pass next time, or 0 when there is no further bag (`out` is then left unchanged).
    size_t getNextBag(const wchar_t* key, PropertyBag& out, size_t position) const;

    // Removes the first entry with the key, or every one when `all`. True when one was removed.
    bool remove(const wchar_t* key, bool all = true);
    bool contains(const wchar_t* key) const;
    void clear();

    // Marks the bag failed. A text-only error has code 0; a null text is the empty text.
    void setError(const wchar_t* text);
    void setError(int32_t code, const wchar_t* text);
    bool isError() const;
    int32_t getErrorCode() const;
    corestring<wchar_t> getErrorText() const;

    // Entries by position, in order, for writers of the wire form. Reading a position with an
    // accessor of another type is a programming error (it gives the type's zero value).
    size_t size() const;
    bool empty() const;
    const std::wstring& keyAt(size_t index) const;
    ValueType typeAt(size_t index) const;
    const std::wstring& textAt(size_t index) const;
    int64_t intAt(size_t index) const;  // either integer width
    bool boolAt(size_t index) const;
    const PropertyBag& bagAt(size_t index) const;

  private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace CORE
