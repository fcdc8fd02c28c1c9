// UTF-8 <-> wide text (UTF-32 wchar_t), following Unicode's rules for ill-formed input: each
// maximal ill-formed subsequence becomes one U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace winport::utf8 {

enum class Malformed {
    Replace,  // U+FFFD for what has no form in the other encoding
    Escape,   // a stray byte b <-> the code point U+DC00 + b (b >= 0x80), losslessly both ways
};

// True when every character was a Unicode scalar value (or, with Escape, an escaped byte).
// Replace writes `replacement` for each character that has no UTF-8 form.
bool Encode(std::wstring_view wide, std::string& out, Malformed mode = Malformed::Replace,
            std::string_view replacement = "\xEF\xBF\xBD");

// True when the bytes were well-formed UTF-8.
bool Decode(std::string_view bytes, std::wstring& out, Malformed mode = Malformed::Replace);

// A code point that UTF-8 can carry: not a surrogate, not above U+10FFFF.
constexpr bool IsScalarValue(char32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

}  // namespace winport::utf8
