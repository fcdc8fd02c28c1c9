// Windows wide printf formatting done by hand, so that %s/%S mean the same on every platform.
#include "WideFormat.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "TextConvert.h"

namespace quillmesh {

namespace {

// A width or precision beyond this is taken as this: a broken format must not exhaust memory.
constexpr int kMaxField = 1 << 16;

enum class Length { None, Char, Short, Long, LongLong, Int32, PointerSize, LongDouble, Wide };

struct Directive {
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

void ParseFlags(const wchar_t*& at, Directive& directive) {
    for (;; ++at) {
        switch (*at) {
            case L'-':
                directive.left = true;
                break;
            case L'+':
                directive.plus = true;
                break;
            case L' ':
                directive.space = true;
                break;
            case L'#':
                directive.alternate = true;
                break;
            case L'0':
                directive.zero = true;
                break;
            default:
                return;
        }
    }
}

void ParseWidthAndPrecision(const wchar_t*& at, Arguments& args, Directive& directive) {
    bool fromArgument = false;
    int width = ParseField(at, args, fromArgument);
    if (width < 0) {  // a negative width from "*" means left-justified
        directive.left = true;
        width = width == INT32_MIN ? kMaxField : ClampField(-static_cast<long long>(width));
    }
    directive.width = ClampField(width);
    if (*at != L'.') return;
    ++at;
    int precision = ParseField(at, args, fromArgument);
    directive.precision = precision < 0 ? -1 : ClampField(precision);  // negative: as if none
}

bool StartsWith(const wchar_t* at, std::wstring_view prefix) {
    for (wchar_t c : prefix) {
        if (*at++ != c) return false;  // stops at the terminator too
    }
    return true;
}

void ParseLength(const wchar_t*& at, Directive& directive) {
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
            directive.length = modifier.length;
            at += modifier.text.size();
            return;
        }
    }
}

// Pads `body` to the width; zeros go between the sign or prefix and the digits.
void AppendPadded(std::wstring& out, const Directive& directive, std::wstring_view prefix,
                  std::wstring_view body, bool zeroPad) {
    size_t length = prefix.size() + body.size();
    size_t fill = directive.width > 0 && static_cast<size_t>(directive.width) > length
                      ? static_cast<size_t>(directive.width) - length
                      : 0;
    if (directive.left) {
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

void FormatInteger(std::wstring& out, const Directive& directive, Integer value) {
    wchar_t conversion = directive.conversion;
    bool isSigned = conversion == L'd' || conversion == L'i';
    unsigned base = conversion == L'o' ? 8 : (conversion == L'x' || conversion == L'X') ? 16 : 10;
    std::wstring digits = Digits(value.magnitude, base, conversion == L'X');
    if (directive.precision == 0 && value.magnitude == 0) digits.clear();
    if (directive.precision > 0 && digits.size() < static_cast<size_t>(directive.precision)) {
        digits.insert(0, static_cast<size_t>(directive.precision) - digits.size(), L'0');
    }
    std::wstring prefix;
    if (isSigned && value.negative)
        prefix = L"-";
    else if (isSigned && directive.plus)
        prefix = L"+";
    else if (isSigned && directive.space)
        prefix = L" ";
    if (directive.alternate && base == 16 && value.magnitude != 0)
        prefix = conversion == L'X' ? L"0X" : L"0x";
    if (directive.alternate && base == 8 && (digits.empty() || digits[0] != L'0'))
        digits.insert(0, 1, L'0');
    AppendPadded(out, directive, prefix, digits, directive.zero && directive.precision < 0);
}

void FormatPointer(std::wstring& out, const Directive& directive, const void* pointer) {
    std::wstring digits = Digits(reinterpret_cast<uintptr_t>(pointer), 16, true);
    digits.insert(0, sizeof(void*) * 2 - digits.size(), L'0');
    AppendPadded(out, directive, L"", digits, false);
}

bool TakesNarrowText(const Directive& directive) {
    bool upper = directive.conversion == L'S' || directive.conversion == L'C';
    if (directive.length == Length::Short) return true;
    if (directive.length == Length::Long || directive.length == Length::Wide) return false;
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

void FormatString(std::wstring& out, const Directive& directive, Arguments& args) {
    std::wstring text;
    if (TakesNarrowText(directive)) {
        const char* narrow = args.Next<const char*>();
        text = narrow ? NarrowText(narrow, directive.precision)
                      : WideText(L"(null)", directive.precision);
    } else {
        const wchar_t* wide = args.Next<const wchar_t*>();
        text = WideText(wide ? wide : L"(null)", directive.precision);
    }
    AppendPadded(out, directive, L"", text, directive.zero);
}

void FormatCharacter(std::wstring& out, const Directive& directive, Arguments& args) {
    int value = args.Next<int>();
    std::wstring text;
    if (TakesNarrowText(directive)) {
        char byte = static_cast<char>(value);
        text = WideFromUtf8Lossy(std::string_view(&byte, 1));
        if (text.empty()) text.push_back(L'\0');
    } else {
        text.push_back(static_cast<wchar_t>(value));
    }
    AppendPadded(out, directive, L"", text, directive.zero);
}

// Floating point goes through the C library's narrow snprintf, whose output for these
// conversions does not depend on the platform's wide-string conventions.
void FormatFloating(std::wstring& out, const Directive& directive, Arguments& args) {
    std::string format = "%";
    if (directive.left) format += '-';
    if (directive.plus) format += '+';
    if (directive.space) format += ' ';
    if (directive.alternate) format += '#';
    if (directive.zero) format += '0';
    format += "*.*";
    if (directive.length == Length::LongDouble) format += 'L';
    format += static_cast<char>(directive.conversion);
    int precision = directive.precision < 0 ? 6 : directive.precision;
    std::string text;
    auto print = [&](auto value) {
        int needed = std::snprintf(nullptr, 0, format.c_str(), directive.width, precision, value);
        if (needed <= 0) return;
        text.resize(static_cast<size_t>(needed) + 1);
        std::snprintf(text.data(), text.size(), format.c_str(), directive.width, precision, value);
        text.resize(static_cast<size_t>(needed));
    };
    if (directive.length == Length::LongDouble) {
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
bool Convert(std::wstring& out, const Directive& directive, Arguments& args) {
    wchar_t c = directive.conversion;
    if (c == L'd' || c == L'i') {
        FormatInteger(out, directive, NextSigned(args, directive.length));
    } else if (IsIntegerConversion(c)) {
        FormatInteger(out, directive, NextUnsigned(args, directive.length));
    } else if (IsFloatingConversion(c)) {
        FormatFloating(out, directive, args);
    } else if (c == L's' || c == L'S') {
        FormatString(out, directive, args);
    } else if (c == L'c' || c == L'C') {
        FormatCharacter(out, directive, args);
    } else if (c == L'p') {
        FormatPointer(out, directive, args.Next<const void*>());
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
        Directive directive;
        ParseFlags(at, directive);
        ParseWidthAndPrecision(at, arguments, directive);
        ParseLength(at, directive);
        directive.conversion = *at;
        if (*at) ++at;
        if (!Convert(out, directive, arguments)) out.append(start, at);  // shown as written
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
