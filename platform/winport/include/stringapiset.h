// Code page conversions. On Linux the ANSI code pages (CP_ACP, CP_THREAD_ACP) are UTF-8, and
// wide text is UTF-32 (wchar_t).
#pragma once

#include "windef.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

extern "C" {

// As on Windows: a length of -1 converts up to and including the terminating NUL; an output
// size of 0 asks for the needed size; ERROR_INSUFFICIENT_BUFFER when the output does not fit;
// ERROR_INVALID_PARAMETER for an unknown code page.
// CP_UTF8 follows Windows' rules for UTF-8: text with no form in the other encoding (a wchar_t
// that is not a Unicode scalar value, ill-formed UTF-8) becomes U+FFFD, or fails
// (0, ERROR_NO_UNICODE_TRANSLATION) with the *_ERR_INVALID_CHARS flag; no other flag
// (ERROR_INVALID_FLAGS) and no default character (ERROR_INVALID_PARAMETER).
// CP_ACP, CP_OEMCP and CP_THREAD_ACP follow the rules of an ANSI code page whose bytes are
// UTF-8: the table code page flags, a default character (else "?") for a wchar_t with no form,
// reported through usedDefaultChar; ill-formed UTF-8 input becomes U+FFFD or fails with
// MB_ERR_INVALID_CHARS.
WINPORT_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                                           LPSTR narrow, int narrowSize, LPCSTR defaultChar,
                                           PBOOL usedDefaultChar);
WINPORT_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow,
                                           int narrowLength, LPWSTR wide, int wideSize);

}  // extern "C"
