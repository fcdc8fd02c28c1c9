// File names.
#pragma once

#include "windef.h"

extern "C" {

// Windows rules over Windows paths: both separators, "." and ".." (never above the root),
// drive-relative ("Z:name") and rooted ("\name") forms, UNC shares, "\\?\" paths returned as
// given; trailing dots and spaces of the last component dropped. The current directory is the
// process's, on drive Z:. Returns the length without the NUL, or the size needed with the NUL
// when the buffer is too small; *filePart points at the last component (null when the path
// ends in a separator).
WINPORT_API DWORD WINAPI GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer,
                                          LPWSTR* filePart);

}  // extern "C"
