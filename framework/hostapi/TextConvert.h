// Lossy UTF-8 conversions for the framework's own output (log lines, JSON, formatted text),
// where a bad character must not lose the rest of the line: it becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "quillmesh/QuillmeshApi.h"

namespace quillmesh {

QUILLMESH_API std::string Utf8FromWideLossy(std::wstring_view text);
QUILLMESH_API std::wstring WideFromUtf8Lossy(std::string_view text);

}  // namespace quillmesh
