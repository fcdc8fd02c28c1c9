#include "RegistryValueText.h"

#include <cstring>

namespace {

bool HoldsWideText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::wstring WideTextUpToNul(const BYTE* data, size_t size) {
    std::wstring text;
    for (size_t at = 0; at + sizeof(wchar_t) <= size; at += sizeof(wchar_t)) {
        wchar_t character;
        std::memcpy(&character, data + at, sizeof character);
        if (character == L'\0') break;
        text.push_back(character);
    }
    return text;
}

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit < 0xDC00;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit < 0xE000;
}

// Little-endian UTF-16 into 32-bit characters: a surrogate pair becomes one character, a lone
// surrogate stays as it is, and a trailing odd byte is no character.
std::wstring Utf16TextUpToNul(const BYTE* data, size_t size) {
    const auto unitAt = [data](size_t at) { return char32_t(data[at] | data[at + 1] << 8); };
    std::wstring text;
    for (size_t at = 0; at + 2 <= size; at += 2) {
        char32_t character = unitAt(at);
        if (character == 0) break;
        if (IsHighSurrogate(character) && at + 4 <= size && IsLowSurrogate(unitAt(at + 2))) {
            character = 0x10000 + ((character - 0xD800) << 10) + (unitAt(at + 2) - 0xDC00);
            at += 2;
        }
        text.push_back(static_cast<wchar_t>(character));
    }
    return text;
}

}  // namespace

std::wstring RegistryValueText(DWORD type, const BYTE* data, size_t size) {
    // Where wide characters are UTF-16 every type is read alike, as WCHARs.
    if (sizeof(wchar_t) == sizeof(char16_t) || HoldsWideText(type)) {
        return WideTextUpToNul(data, size);
    }
    return Utf16TextUpToNul(data, size);
}
