// A registry value's data as the text the session readers hand on.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The data up to its first NUL character or its end. String types hold the platform's wide text
// (UTF-16 on Windows, 32-bit characters in winport's hive); any other type holds raw bytes, which
// are read as UTF-16 text, as Windows reads them. The result is the same text on both builds.
std::wstring RegistryValueText(DWORD type, const BYTE* data, size_t size);
