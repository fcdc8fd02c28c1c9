// Code page conversions. On Linux the ANSI code pages (CP_ACP, CP_THREAD_ACP) are UTF-8, and
// wide text is UTF-32 (wchar_t).
#pragma once

#include "windef.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

extern "C" {

// As on Windows: a length of -1 converts up to and including the terminating NUL; an output
// size of 0 asks for the needed size. Fails (0, ERROR_NO_UNICODE_TRANSLATION) on text that has
// no form in the code page when the *_ERR_INVALID_CHARS flag is given, and always for UTF-8
// output of a code unit that is not a Unicode scalar value; ERROR_INSUFFICIENT_BUFFER when the
// output does not fit; ERROR_INVALID_PARAMETER for an unknown code page.
WINPORT_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                                           LPSTR narrow, int narrowSize, LPCSTR defaultChar,
                                           PBOOL usedDefaultChar);
WINPORT_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow,
                                           int narrowLength, LPWSTR wide, int wideSize);

}  // extern "C"
