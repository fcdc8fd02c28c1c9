// CORE::corestring: the framework's string, wide (wchar_t) or narrow (char), with the path,
// conversion, Base64 and registry helpers the plug-in relies on.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillmesh/QuillmeshApi.h"

namespace CORE {

// Raised when a text cannot be converted to or from the requested code page.
class conversion_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace detail {
// Conversions through the platform's code pages (65001 is UTF-8). False when a character
// cannot be converted; the output is then unspecified.
QUILLMESH_API bool NarrowFromWide(std::wstring_view text, unsigned codePage, std::string& out);
QUILLMESH_API bool WideFromNarrow(std::string_view text, unsigned codePage, std::wstring& out);
QUILLMESH_API int CompareNoCase(std::wstring_view a, std::wstring_view b);
// Decimal integer with optional sign. wholeText: surrounding white space is allowed but nothing
// else; otherwise the leading number is taken and the rest ignored. False when there is no
// number or it does not fit.
QUILLMESH_API bool ParseInt64(std::wstring_view text, bool wholeText, int64_t& value);
QUILLMESH_API bool ParseBool(std::wstring_view text);
QUILLMESH_API std::string Base64Encode(std::string_view bytes);
// Full path of a loaded module (null: the host executable); empty on failure.
QUILLMESH_API std::wstring ModuleFileName(HMODULE module);
// "HKLM\Key\Path\ValueName" read as text; `fallback` when absent or unreadable.
QUILLMESH_API std::wstring ReadRegistryText(std::wstring_view path, std::wstring_view fallback,
                                            bool expandEnvironment);
}  // namespace detail

template <typename T>
class corestring : public std::basic_string<T> {
  public:
    using base = std::basic_string<T>;
    using base::base;

    corestring() = default;
    corestring(const base& text) : base(text) {}
    corestring(base&& text) : base(std::move(text)) {}
    // A null pointer is the empty text.
    corestring(const T* text) : base(text ? text : emptyText()) {}
    corestring(std::basic_string_view<T> text) : base(text) {}

    void _setdata(const T* data, size_t length) {
        data ? this->assign(data, length) : this->clear();
    }
    const T* p() const { return this->c_str(); }

    corestring operator+(const corestring& other) const {
        corestring joined(*this);
        joined.append(other);
        return joined;
    }
    corestring operator+(const T* other) const { return *this + corestring(other); }

    // 0 when equal ignoring case; otherwise the sign of the first difference.
    int comparei(const corestring& other) const {
        return detail::CompareNoCase(wide(*this), wide(other));
    }

    // The text as a decimal number; 0 when it is not one or does not fit in 32 bits.
    int toInt(bool wholeText = true) const {
        int64_t value = 0;
        if (!detail::ParseInt64(wide(*this), wholeText, value) || value < INT32_MIN ||
            value > INT32_MAX) {
            return 0;
        }
        return static_cast<int>(value);
    }
    int64_t toInt64(bool wholeText = true) const {
        int64_t value = 0;
        return detail::ParseInt64(wide(*this), wholeText, value) ? value : 0;
    }
    // "1", "true", "yes", "on" (any case) or any non-zero number.
    bool toBool() const { return detail::ParseBool(wide(*this)); }

    // Pieces between separators, in order. keepEmpty false drops empty pieces; limit > 0 stops
    // after that many pieces, the last one holding the rest.
    std::vector<corestring> split(T separator, bool keepEmpty = false, size_t limit = 0) const {
        std::vector<corestring> pieces;
        size_t start = 0;
        while (true) {
            size_t end = (limit != 0 && pieces.size() + 1 == limit) ? base::npos
                                                                    : this->find(separator, start);
            corestring piece(this->substr(start, end == base::npos ? base::npos : end - start));
            if (keepEmpty || !piece.empty()) pieces.push_back(std::move(piece));
            if (end == base::npos) break;
            start = end + 1;
        }
        return pieces;
    }

    // Paths. Both separators are accepted; a drive or share prefix stays with the directory.
    corestring lastPath() const {
        size_t slash = this->find_last_of(separators());
        return slash == base::npos ? *this : corestring(this->substr(slash + 1));
    }
    corestring dropLastPath() const {
        size_t slash = this->find_last_of(separators());
        return slash == base::npos ? corestring() : corestring(this->substr(0, slash));
    }
    corestring dropSuffix() const {
        size_t dot = this->find_last_of(T('.'));
        size_t slash = this->find_last_of(separators());
        if (dot == base::npos || (slash != base::npos && dot < slash)) return *this;
        return corestring(this->substr(0, dot));
    }
    corestring appendPath(const corestring& name) const {
        if (this->empty()) return name;
        corestring joined(*this);
        if (joined.back() != T('\\') && joined.back() != T('/')) joined.push_back(T('\\'));
        joined.append(name);
        return joined;
    }

    // Full path of a loaded module; null gives the host executable. Empty on failure.
    static corestring getModuleName(HMODULE module) {
        return fromWide(detail::ModuleFileName(module));
    }

    // Wide text to narrow in a code page. Throws conversion_error when a character has no form
    // there.
    corestring<char> _tstr(unsigned codePage = 65001) const {
        static_assert(sizeof(T) == sizeof(wchar_t), "_tstr converts wide text");
        std::string out;
        if (!detail::NarrowFromWide(wide(*this), codePage, out)) {
            throw conversion_error("text cannot be converted to code page " +
                                   std::to_string(codePage));
        }
        return corestring<char>(std::move(out));
    }
    // Narrow text in a code page to wide. Throws conversion_error on invalid input.
    corestring<wchar_t> _wstr(unsigned codePage = 65001) const {
        static_assert(sizeof(T) == sizeof(char), "_wstr converts narrow text");
        std::wstring out;
        if (!detail::WideFromNarrow(std::string_view(this->data(), this->size()), codePage, out)) {
            throw conversion_error("text is not valid in code page " + std::to_string(codePage));
        }
        return corestring<wchar_t>(std::move(out));
    }

    // Standard Base64 of the narrow text's bytes.
    corestring base64Encode() const {
        static_assert(sizeof(T) == sizeof(char), "base64Encode encodes bytes");
        return corestring(detail::Base64Encode(std::string_view(this->data(), this->size())));
    }

    // The registry value named by the last part of `path` ("HKLM\Software\...\Name"), as text:
    // strings as stored (a multi-string keeps the NULs between its strings), numbers in
    // decimal; `fallback` when the value is absent or cannot be read.
    static corestring readRegistry(const corestring& path, const corestring& fallback,
                                   bool expandEnvironment = false) {
        return fromWide(detail::ReadRegistryText(wide(path), wide(fallback), expandEnvironment));
    }

  private:
    static const T* emptyText() {
        static const T nothing[1] = {T(0)};
        return nothing;
    }
    static const T* separators() {
        static const T both[3] = {T('\\'), T('/'), T(0)};
        return both;
    }
    // Narrow text is UTF-8 wherever these helpers meet it.
    static std::wstring wide(const base& text) {
        if constexpr (sizeof(T) == sizeof(wchar_t)) {
            return std::wstring(text.begin(), text.end());
        } else {
            std::wstring out;
            if (!detail::WideFromNarrow(text, 65001, out)) out.assign(text.begin(), text.end());
            return out;
        }
    }
    static corestring fromWide(const std::wstring& text) {
        if constexpr (sizeof(T) == sizeof(wchar_t)) {
            return corestring(base(text.begin(), text.end()));
        } else {
            std::string out;
            detail::NarrowFromWide(text, 65001, out);
            return corestring(std::move(out));
        }
    }
};

}  // namespace CORE
