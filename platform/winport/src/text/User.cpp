// user32: character case.
#include <windows.h>

#include "CaseFold.h"

extern "C" {

// As on Windows, a "pointer" whose high bits are zero is one character passed by value; the
// result then carries the lower-case character the same way.
LPWSTR WINAPI CharLowerW(LPWSTR text) {
    const auto bits = reinterpret_cast<ULONG_PTR>(text);
    if ((bits >> 16) == 0) {
        const wchar_t lower = winport::FoldCase(static_cast<wchar_t>(bits & 0xFFFF));
        return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<uint32_t>(lower)));
    }
    for (wchar_t* c = text; *c != L'\0'; ++c) *c = winport::FoldCase(*c);
    return text;
}

}  // extern "C"
