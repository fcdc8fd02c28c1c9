// Code page conversions. Every code page of this system stores text as UTF-8; CP_UTF8 keeps
// Windows' rules for UTF-8, the ANSI and OEM code pages the rules of a table code page.
#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

#include "Faults.h"
#include "Utf8.h"

namespace {

enum class CodePageKind { Utf8, Ansi, Unknown };

CodePageKind KindOf(UINT codePage) {
    if (codePage == CP_UTF8) return CodePageKind::Utf8;
    if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP) {
        return CodePageKind::Ansi;
    }
    return CodePageKind::Unknown;
}

constexpr DWORD kAnsiWideFlags =
    WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
constexpr DWORD kAnsiNarrowFlags =
    MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// The checks both directions share; ERROR_SUCCESS when the call may go on.
DWORD CheckArguments(UINT codePage, const void* input, int inputLength, const void* output,
                     int outputSize) {
    if (input == nullptr || inputLength == 0 || inputLength < -1 || outputSize < 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (outputSize != 0 && (output == nullptr || output == input)) return ERROR_INVALID_PARAMETER;
    if (KindOf(codePage) == CodePageKind::Unknown) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD CheckWideFlags(CodePageKind kind, DWORD flags, LPCSTR defaultChar, PBOOL usedDefaultChar) {
    if (kind == CodePageKind::Ansi) {
        return (flags & ~kAnsiWideFlags) != 0 ? ERROR_INVALID_FLAGS : ERROR_SUCCESS;
    }
    if ((flags & ~DWORD{WC_ERR_INVALID_CHARS}) != 0) return ERROR_INVALID_FLAGS;
    if (defaultChar != nullptr || usedDefaultChar != nullptr) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD CheckNarrowFlags(CodePageKind kind, DWORD flags) {
    const DWORD allowed = kind == CodePageKind::Ansi ? kAnsiNarrowFlags : MB_ERR_INVALID_CHARS;
    if ((flags & ~allowed) != 0) return ERROR_INVALID_FLAGS;
    if ((flags & MB_PRECOMPOSED) != 0 && (flags & MB_COMPOSITE) != 0) return ERROR_INVALID_FLAGS;
    return ERROR_SUCCESS;
}

// What an ANSI code page writes for a character it has no form for: the caller's default
// character, else "?".
std::string_view DefaultCharacter(LPCSTR defaultChar) {
    return defaultChar != nullptr && *defaultChar != '\0' ? std::string_view(defaultChar, 1) : "?";
}

// Hands the converted text to the caller: its length when `size` is 0 (a query), else a copy
// when it fits.
template <typename Char>
int Deliver(const std::basic_string<Char>& converted, Char* output, int size) {
    if (converted.size() > static_cast<size_t>(INT_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    const int length = static_cast<int>(converted.size());
    if (size == 0) return length;
    if (length > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(output, converted.data(), converted.size() * sizeof(Char));
    return length;
}

}  // namespace

extern "C" {

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                               LPSTR narrow, int narrowSize, LPCSTR defaultChar,
                               PBOOL usedDefaultChar) {
    if (auto code = winport::TakeInjectedFailure("WideCharToMultiByte")) return Fail(*code);
    if (DWORD error = CheckArguments(codePage, wide, wideLength, narrow, narrowSize)) {
        return Fail(error);
    }
    const CodePageKind kind = KindOf(codePage);
    if (DWORD error = CheckWideFlags(kind, flags, defaultChar, usedDefaultChar)) return Fail(error);

    const size_t length = wideLength < 0 ? std::wcslen(wide) + 1 : static_cast<size_t>(wideLength);
    std::string converted;
    const bool lossless =
        kind == CodePageKind::Ansi
            ? winport::utf8::Encode({wide, length}, converted, winport::utf8::Malformed::Replace,
                                    DefaultCharacter(defaultChar))
            : winport::utf8::Encode({wide, length}, converted);
    if (!lossless && (flags & WC_ERR_INVALID_CHARS) != 0) {
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    if (usedDefaultChar != nullptr) *usedDefaultChar = lossless ? FALSE : TRUE;
    return Deliver(converted, narrow, narrowSize);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowLength,
                               LPWSTR wide, int wideSize) {
    if (auto code = winport::TakeInjectedFailure("MultiByteToWideChar")) return Fail(*code);
    if (DWORD error = CheckArguments(codePage, narrow, narrowLength, wide, wideSize)) {
        return Fail(error);
    }
    if (DWORD error = CheckNarrowFlags(KindOf(codePage), flags)) return Fail(error);

    const size_t length =
        narrowLength < 0 ? std::strlen(narrow) + 1 : static_cast<size_t>(narrowLength);
    std::wstring converted;
    const bool wellFormed = winport::utf8::Decode({narrow, length}, converted);
    if (!wellFormed && (flags & MB_ERR_INVALID_CHARS) != 0) {
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    return Deliver(converted, wide, wideSize);
}

}  // extern "C"
