// The Linux file system seen as drive Z: of a Windows machine, as Wine presents it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace winport {

// "/usr/bin/x" -> "Z:\usr\bin\x". The bytes are read as UTF-8; a byte that is not part of valid
// UTF-8 becomes the code point U+DC80 + byte, so that ToLinuxPath gives the same bytes back.
std::wstring ToWindowsPath(std::string_view linuxPath);

// "Z:\usr\bin\x", "z:/usr/bin/x", "\usr\bin\x" (rooted on the current drive, Z:) and plain
// "/usr/bin/x" -> "/usr/bin/x". Other drives, UNC and relative paths, embedded NULs and text
// with no UTF-8 form give nullopt.
std::optional<std::string> ToLinuxPath(std::wstring_view windowsPath);

}  // namespace winport
