// Windows wide printf formatting done by hand, so that %s/%S mean the same on every platform.
#include "framework/WideFormat.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "framework/TextConvert.h"

namespace quillmesh {

namespace {

// A width or precision beyond this is taken as this: a broken format must not exhaust memory.
constexpr int kMaxField = 1 << 16;

enum class Length { None, Char, Short, Long, LongLong, Int32, PointerSize, LongDouble, Wide };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // -1: none given
    Length length = Length::None;
    wchar_t conversion = 0;
};

// Reads the arguments in order. Owns its own copy of the list, so the caller's stays usable.
class Arguments {
  public:
    explicit Arguments(va_list args) { va_copy(m_args, args); }
    ~Arguments() { va_end(m_args); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    template <typename T>
    T Next() {
        return va_arg(m_args, T);
    }

  private:
    va_list m_args;
};

struct Integer {
    bool negative = false;
    uint64_t magnitude = 0;
};

Integer FromSigned(int64_t value) {
    return {value < 0, value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value)};
}

// Integer arguments by their length modifier; "l" is Windows' 32-bit long.
Integer NextSigned(Arguments& args, Length length) {
    switch (length) {
        case Length::Char:
            return FromSigned(static_cast<signed char>(args.Next<int>()));
        case Length::Short:
            return FromSigned(static_cast<short>(args.Next<int>()));
        case Length::Long:
            return FromSigned(static_cast<int32_t>(args.Next<long>()));
        case Length::LongLong:
        case Length::LongDouble:
            return FromSigned(args.Next<long long>());
        case Length::PointerSize:
            return FromSigned(static_cast<int64_t>(args.Next<intptr_t>()));
        default:
            return FromSigned(args.Next<int>());
    }
}

Integer NextUnsigned(Arguments& args, Length length) {
    switch (length) {
        case Length::Char:
            return {false, static_cast<unsigned char>(args.Next<int>())};
        case Length::Short:
            return {false, static_cast<unsigned short>(args.Next<int>())};
        case Length::Long:
            return {false, static_cast<uint32_t>(args.Next<unsigned long>())};
        case Length::LongLong:
        case Length::LongDouble:
            return {false, args.Next<unsigned long long>()};
        case Length::PointerSize:
            return {false, static_cast<uint64_t>(args.Next<uintptr_t>())};
        default:
            return {false, args.Next<unsigned int>()};
    }
}

int ClampField(long long value) {
    return value > kMaxField ? kMaxField : static_cast<int>(value);
}

// Digits of a width or precision, or "*" taking it from the arguments.
int ParseField(const wchar_t*& at, Arguments& args, bool& fromArgument) {
    fromArgument = false;
    if (*at == L'*') {
        ++at;
        fromArgument = true;
        return args.Next<int>();
    }
    long long value = 0;
    for (; *at >= L'0' && *at <= L'9'; ++at) {
        if (value <= kMaxField) value = value * 10 + (*at - L'0');
    }
    return ClampField(value);
}

void ParseFlags(const wchar_t*& at, Spec& spec) {
    for (;; ++at) {
        switch (*at) {
            case L'-':
                spec.left = true;
                break;
            case L'+':
                spec.plus = true;
                break;
            case L' ':
                spec.space = true;
                break;
            case L'#':
                spec.alternate = true;
                break;
            case L'0':
                spec.zero = true;
                break;
            default:
                return;
        }
    }
}

void ParseWidthAndPrecision(const wchar_t*& at, Arguments& args, Spec& spec) {
    bool fromArgument = false;
    int width = ParseField(at, args, fromArgument);
    if (width < 0) {  // a negative width from "*" means left-justified
        spec.left = true;
        width = width == INT32_MIN ? kMaxField : ClampField(-static_cast<long long>(width));
    }
    spec.width = ClampField(width);
    if (*at != L'.') return;
    ++at;
    int precision = ParseField(at, args, fromArgument);
    spec.precision = precision < 0 ? -1 : ClampField(precision);  // negative: as if none
}

bool StartsWith(const wchar_t* at, std::wstring_view prefix) {
    for (wchar_t c : prefix) {
        if (*at++ != c) return false;  // stops at the terminator too
    }
    return true;
}

void ParseLength(const wchar_t*& at, Spec& spec) {
    struct Modifier {
        std::wstring_view text;
        Length length;
    };
    // Longest first, so "ll" wins over "l" and "I64" over "I".
    static const Modifier modifiers[] = {
        {L"I64", Length::LongLong},  {L"I32", Length::Int32},     {L"hh", Length::Char},
        {L"ll", Length::LongLong},   {L"I", Length::PointerSize}, {L"h", Length::Short},
        {L"l", Length::Long},        {L"L", Length::LongDouble},  {L"w", Length::Wide},
        {L"z", Length::PointerSize}, {L"j", Length::PointerSize}, {L"t", Length::PointerSize},
    };
    for (const Modifier& modifier : modifiers) {
        if (StartsWith(at, modifier.text)) {
            spec.length = modifier.length;
            at += modifier.text.size();
            return;
        }
    }
}

// Pads `body` to the width; zeros go between the sign or prefix and the digits.
void AppendPadded(std::wstring& out, const Spec& spec, std::wstring_view prefix,
                  std::wstring_view body, bool zeroPad) {
    size_t length = prefix.size() + body.size();
    size_t fill = spec.width > 0 && static_cast<size_t>(spec.width) > length
                      ? static_cast<size_t>(spec.width) - length
                      : 0;
    if (spec.left) {
        out.append(prefix).append(body).append(fill, L' ');
    } else if (zeroPad) {
        out.append(prefix).append(fill, L'0').append(body);
    } else {
        out.append(fill, L' ').append(prefix).append(body);
    }
}

std::wstring Digits(uint64_t value, unsigned base, bool upper) {
    const wchar_t* symbols = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring digits;
    do {
        digits.insert(digits.begin(), symbols[value % base]);
        value /= base;
    } while (value != 0);
    return digits;
}

void FormatInteger(std::wstring& out, const Spec& spec, Integer value) {
    wchar_t conversion = spec.conversion;
    bool isSigned = conversion == L'd' || conversion == L'i';
    unsigned base = conversion == L'o' ? 8 : (conversion == L'x' || conversion == L'X') ? 16 : 10;
    std::wstring digits = Digits(value.magnitude, base, conversion == L'X');
    if (spec.precision == 0 && value.magnitude == 0) digits.clear();
    if (spec.precision > 0 && digits.size() < static_cast<size_t>(spec.precision)) {
        digits.insert(0, static_cast<size_t>(spec.precision) - digits.size(), L'0');
    }
    std::wstring prefix;
    if (isSigned && value.negative)
        prefix = L"-";
    else if (isSigned && spec.plus)
        prefix = L"+";
    else if (isSigned && spec.space)
        prefix = L" ";
    if (spec.alternate && base == 16 && value.magnitude != 0)
        prefix = conversion == L'X' ? L"0X" : L"0x";
    if (spec.alternate && base == 8 && (digits.empty() || digits[0] != L'0'))
        digits.insert(0, 1, L'0');
    AppendPadded(out, spec, prefix, digits, spec.zero && spec.precision < 0);
}

void FormatPointer(std::wstring& out, const Spec& spec, const void* pointer) {
    std::wstring digits = Digits(reinterpret_cast<uintptr_t>(pointer), 16, true);
    digits.insert(0, sizeof(void*) * 2 - digits.size(), L'0');
    AppendPadded(out, spec, L"", digits, false);
}

bool TakesNarrowText(const Spec& spec) {
    bool upper = spec.conversion == L'S' || spec.conversion == L'C';
    if (spec.length == Length::Short) return true;
    if (spec.length == Length::Long || spec.length == Length::Wide) return false;
    return upper;
}

std::wstring WideText(const wchar_t* text, int precision) {
    std::wstring result;
    for (; (precision < 0 || result.size() < static_cast<size_t>(precision)) && *text; ++text) {
        result.push_back(*text);
    }
    return result;
}

// Narrow arguments are UTF-8. A precision limits the bytes read as well as the characters
// shown, so an unterminated buffer with a precision is never overrun.
std::wstring NarrowText(const char* text, int precision) {
    size_t bytes = 0;
    while ((precision < 0 || bytes < static_cast<size_t>(precision)) && text[bytes]) ++bytes;
    std::wstring wide = WideFromUtf8Lossy(std::string_view(text, bytes));
    if (precision >= 0 && wide.size() > static_cast<size_t>(precision)) wide.resize(precision);
    return wide;
}

void FormatString(std::wstring& out, const Spec& spec, Arguments& args) {
    std::wstring text;
    if (TakesNarrowText(spec)) {
        const char* narrow = args.Next<const char*>();
        text = narrow ? NarrowText(narrow, spec.precision) : WideText(L"(null)", spec.precision);
    } else {
        const wchar_t* wide = args.Next<const wchar_t*>();
        text = WideText(wide ? wide : L"(null)", spec.precision);
    }
    AppendPadded(out, spec, L"", text, spec.zero);
}

void FormatCharacter(std::wstring& out, const Spec& spec, Arguments& args) {
    int value = args.Next<int>();
    std::wstring text;
    if (TakesNarrowText(spec)) {
        char byte = static_cast<char>(value);
        text = WideFromUtf8Lossy(std::string_view(&byte, 1));
        if (text.empty()) text.push_back(L'\0');
    } else {
        text.push_back(static_cast<wchar_t>(value));
    }
    AppendPadded(out, spec, L"", text, spec.zero);
}

// Floating point goes through the C library's narrow snprintf, whose output for these
// conversions does not depend on the platform's wide-string conventions.
void FormatFloating(std::wstring& out, const Spec& spec, Arguments& args) {
    std::string format = "%";
    if (spec.left) format += '-';
    if (spec.plus) format += '+';
    if (spec.space) format += ' ';
    if (spec.alternate) format += '#';
    if (spec.zero) format += '0';
    format += "*.*";
    if (spec.length == Length::LongDouble) format += 'L';
    format += static_cast<char>(spec.conversion);
    int precision = spec.precision < 0 ? 6 : spec.precision;
    std::string text;
    auto print = [&](auto value) {
        int needed = std::snprintf(nullptr, 0, format.c_str(), spec.width, precision, value);
        if (needed <= 0) return;
        text.resize(static_cast<size_t>(needed) + 1);
        std::snprintf(text.data(), text.size(), format.c_str(), spec.width, precision, value);
        text.resize(static_cast<size_t>(needed));
    };
    if (spec.length == Length::LongDouble) {
        print(args.Next<long double>());
    } else {
        print(args.Next<double>());
    }
    out.append(text.begin(), text.end());
}

bool IsIntegerConversion(wchar_t c) {
    return c == L'd' || c == L'i' || c == L'u' || c == L'x' || c == L'X' || c == L'o';
}

bool IsFloatingConversion(wchar_t c) {
    return c == L'e' || c == L'E' || c == L'f' || c == L'F' || c == L'g' || c == L'G' ||
           c == L'a' || c == L'A';
}

// One conversion. False when the conversion character is unknown (nothing consumed for it).
bool Convert(std::wstring& out, const Spec& spec, Arguments& args) {
    wchar_t c = spec.conversion;
    if (c == L'd' || c == L'i') {
        FormatInteger(out, spec, NextSigned(args, spec.length));
    } else if (IsIntegerConversion(c)) {
        FormatInteger(out, spec, NextUnsigned(args, spec.length));
    } else if (IsFloatingConversion(c)) {
        FormatFloating(out, spec, args);
    } else if (c == L's' || c == L'S') {
        FormatString(out, spec, args);
    } else if (c == L'c' || c == L'C') {
        FormatCharacter(out, spec, args);
    } else if (c == L'p') {
        FormatPointer(out, spec, args.Next<const void*>());
    } else if (c == L'n') {
        args.Next<void*>();  // writing through it is refused, as the Windows runtime does
    } else if (c == L'%') {
        out.push_back(L'%');
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::wstring FormatWideV(const wchar_t* format, va_list args) {
    std::wstring out;
    if (!format) return out;
    Arguments arguments(args);
    for (const wchar_t* at = format; *at;) {
        if (*at != L'%') {
            out.push_back(*at++);
            continue;
        }
        const wchar_t* start = at++;
        Spec spec;
        ParseFlags(at, spec);
        ParseWidthAndPrecision(at, arguments, spec);
        ParseLength(at, spec);
        spec.conversion = *at;
        if (*at) ++at;
        if (!Convert(out, spec, arguments)) out.append(start, at);  // shown as written
    }
    return out;
}

std::wstring FormatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatWideV(format, args);
    va_end(args);
    return text;
}

}  // namespace quillmesh
