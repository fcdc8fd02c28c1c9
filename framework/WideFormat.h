// The framework's formatter for Windows wide printf formats, identical on every platform (never
// the C library's swprintf, whose %s differs between platforms).
//
// Conversions: d i u x X o c C s S p e E f g G % n(ignored); flags - + space # 0; width and
// precision, also as *; length h hh l ll L w I I32 I64 z j t. In a wide format %s and %c take
// wide arguments and %S and %C narrow ones (hs/hc narrow, ls/lc/ws wide force the width).
// %p prints the pointer as 16 upper-case hex digits. A null string prints "(null)".
#pragma once

#include <cstdarg>
#include <string>

#include "quillmesh/QuillmeshApi.h"

namespace quillmesh {

QUILLMESH_API std::wstring FormatWideV(const wchar_t* format, va_list args);
QUILLMESH_API std::wstring FormatWide(const wchar_t* format, ...);

}  // namespace quillmesh
