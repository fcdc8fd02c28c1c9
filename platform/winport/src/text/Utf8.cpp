#include "Utf8.h"

#include <cstdint>

namespace winport::utf8 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEscapeBase = 0xDC00;

void AppendScalar(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsEscapedByte(char32_t c) {
    return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF;
}

// One step of decoding: a scalar value and its length, or (valid false) the length of the
// maximal ill-formed subsequence that starts here.
struct Step {
    char32_t value = 0;
    size_t length = 1;
    bool valid = false;
};

// The range the second byte of a sequence may take, by lead byte (Unicode table 3-7).
bool SecondByteFits(uint8_t lead, uint8_t second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return second >= 0x80 && second <= 0xBF;
}

size_t SequenceLength(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

Step DecodeOne(std::string_view bytes, size_t at) {
    const auto lead = static_cast<uint8_t>(bytes[at]);
    const size_t length = SequenceLength(lead);
    if (length == 1) return {lead, 1, true};
    if (length == 0) return {};
    char32_t value = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (at + i >= bytes.size()) return {0, i, false};
        const auto next = static_cast<uint8_t>(bytes[at + i]);
        const bool fits = i == 1 ? SecondByteFits(lead, next) : (next & 0xC0) == 0x80;
        if (!fits) return {0, i, false};
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length, true};
}

}  // namespace

bool Encode(std::wstring_view wide, std::string& out, Malformed mode,
            std::string_view replacement) {
    bool lossless = true;
    out.reserve(out.size() + wide.size());
    for (const wchar_t w : wide) {
        const auto c = static_cast<char32_t>(static_cast<uint32_t>(w));
        if (IsScalarValue(c)) {
            AppendScalar(c, out);
        } else if (mode == Malformed::Escape && IsEscapedByte(c)) {
            out += static_cast<char>(c - kEscapeBase);
        } else {
            out += replacement;
            lossless = false;
        }
    }
    return lossless;
}

bool Decode(std::string_view bytes, std::wstring& out, Malformed mode) {
    bool wellFormed = true;
    out.reserve(out.size() + bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        const Step step = DecodeOne(bytes, at);
        if (step.valid) {
            out += static_cast<wchar_t>(step.value);
        } else if (mode == Malformed::Escape) {
            for (size_t i = 0; i < step.length; ++i) {
                out += static_cast<wchar_t>(kEscapeBase + static_cast<uint8_t>(bytes[at + i]));
            }
            wellFormed = false;
        } else {
            out += static_cast<wchar_t>(kReplacement);
            wellFormed = false;
        }
        at += step.length;
    }
    return wellFormed;
}

}  // namespace winport::utf8
