// The out-of-line helpers of CORE::corestring: code pages, case-free comparison, numbers,
// Base64 and module names. The registry reader is in RegistryText.cpp.
#include "quillmesh/corestring.h"

#include <climits>
#include <cwctype>

namespace CORE::detail {

namespace {

bool IsSpace(wchar_t c) {
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}
bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

size_t SkipSpace(std::wstring_view text, size_t at) {
    while (at < text.size() && IsSpace(text[at])) ++at;
    return at;
}

// Windows refuses WC_ERR_INVALID_CHARS outside UTF-8; there the default-character report
// tells that a character had no form.
DWORD NarrowFlags(unsigned codePage) {
    return codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
}

}  // namespace

bool NarrowFromWide(std::wstring_view text, unsigned codePage, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > INT_MAX) return false;
    int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    PBOOL usedDefaultOut = codePage == CP_UTF8 ? nullptr : &usedDefault;
    int needed = WideCharToMultiByte(codePage, NarrowFlags(codePage), text.data(), length, nullptr,
                                     0, nullptr, usedDefaultOut);
    if (needed <= 0 || usedDefault) return false;
    out.resize(static_cast<size_t>(needed));
    int written = WideCharToMultiByte(codePage, NarrowFlags(codePage), text.data(), length,
                                      out.data(), needed, nullptr, usedDefaultOut);
    if (written != needed || usedDefault) {
        out.clear();
        return false;
    }
    return true;
}

bool WideFromNarrow(std::string_view text, unsigned codePage, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > INT_MAX) return false;
    int length = static_cast<int>(text.size());
    int needed =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    out.resize(static_cast<size_t>(needed));
    int written = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length,
                                      out.data(), needed);
    if (written != needed) {
        out.clear();
        return false;
    }
    return true;
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) {
    size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        auto left = std::towlower(static_cast<wint_t>(a[i]));
        auto right = std::towlower(static_cast<wint_t>(b[i]));
        if (left != right) return left < right ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool ParseInt64(std::wstring_view text, bool wholeText, int64_t& value) {
    size_t at = SkipSpace(text, 0);
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
        negative = text[at] == L'-';
        ++at;
    }
    if (at >= text.size() || !IsDigit(text[at])) return false;
    // The magnitude may reach 2^63 only for a negative number.
    const uint64_t limit = negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX};
    uint64_t magnitude = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        uint64_t digit = static_cast<uint64_t>(text[at] - L'0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (wholeText && SkipSpace(text, at) != text.size()) return false;
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool ParseBool(std::wstring_view text) {
    size_t begin = SkipSpace(text, 0);
    size_t end = text.size();
    while (end > begin && IsSpace(text[end - 1])) --end;
    std::wstring_view word = text.substr(begin, end - begin);
    for (const wchar_t* yes : {L"true", L"yes", L"on"}) {
        if (CompareNoCase(word, yes) == 0) return true;
    }
    // Any number other than zero, however long.
    size_t at = (!word.empty() && (word[0] == L'+' || word[0] == L'-')) ? 1 : 0;
    if (at >= word.size()) return false;
    bool nonZero = false;
    for (; at < word.size(); ++at) {
        if (!IsDigit(word[at])) return false;
        nonZero = nonZero || word[at] != L'0';
    }
    return nonZero;
}

std::string Base64Encode(std::string_view bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[at]) << 16 |
                         static_cast<uint8_t>(bytes[at + 1]) << 8 |
                         static_cast<uint8_t>(bytes[at + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(alphabet[(group >> shift) & 63]);
    }
    size_t rest = bytes.size() - at;
    if (rest > 0) {
        uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
        if (rest == 2) group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
        out.push_back(alphabet[(group >> 18) & 63]);
        out.push_back(alphabet[(group >> 12) & 63]);
        out.push_back(rest == 2 ? alphabet[(group >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::wstring ModuleFileName(HMODULE module) {
    // A result that fills the whole buffer may have been cut: try again with more room, up to
    // the longest path Windows knows.
    for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
        std::wstring path(size, L'\0');
        DWORD length = GetModuleFileNameW(module, path.data(), size);
        if (length == 0) return {};
        if (length < size) {
            path.resize(length);
            return path;
        }
    }
    return {};
}

}  // namespace CORE::detail
