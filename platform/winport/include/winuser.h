// The user32 calls the plug-in makes.
#pragma once

#include "windef.h"

extern "C" {

// Lower-cases a NUL-terminated string in place and returns it.
WINPORT_API LPWSTR WINAPI CharLowerW(LPWSTR text);

}  // extern "C"
