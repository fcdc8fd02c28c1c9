// Linux text (UTF-8 bytes) as wide text for the records the process calls write.
#pragma once

#include <string>
#include <string_view>

#include "Utf8.h"

namespace winport {

// Ill-formed bytes become U+FFFD: these names are shown, never turned back into paths.
inline std::wstring DecodeUtf8(std::string_view text) {
    std::wstring wide;
    utf8::Decode(text, wide, utf8::Malformed::Replace);
    return wide;
}

}  // namespace winport
