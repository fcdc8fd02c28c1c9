// Registry files as regedit exports them. The file is decoded to wide text (UTF-16 on Windows,
// UTF-32 elsewhere) and parsed whole into a RegFile; only a file that parsed is applied.
#include "RegFile.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "OptionFile.h"
#include "UniqueHandle.h"

namespace dorn {
namespace {

constexpr std::wstring_view kHeader5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeader4 = L"REGEDIT4";

struct RootName {
    std::wstring_view name;
    HKEY root;
};

// Full names first: they are the ones error texts and messages use.
const RootName kRoots[] = {
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKU", HKEY_USERS},
    {L"HKCR", HKEY_CLASSES_ROOT},
};

wchar_t AsciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](wchar_t x, wchar_t y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsAsciiNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring_view TrimLeft(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::wstring_view Trim(std::wstring_view text) {
    text = TrimLeft(text);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// What may follow a value or key: nothing, or a comment.
bool IsEndOfLine(std::wstring_view rest) {
    rest = TrimLeft(rest);
    return rest.empty() || rest.front() == L';';
}

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
    }
    return narrow;
}

std::string RootText(HKEY root) {
    for (const RootName& entry : kRoots) {
        if (entry.root == root) return Narrow(entry.name);
    }
    return "?";
}

// A key as messages name it; a path of hundreds of levels is cut, between characters.
std::string KeyText(const RegFileKey& key) {
    std::string text = RootText(key.root) + (key.path.empty() ? "" : "\\" + Narrow(key.path));
    size_t cut = 200;
    if (text.size() <= cut) return text;
    while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

void AppendCodePoint(std::wstring& text, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            return;
        }
    }
    text += static_cast<wchar_t>(c);
}

// UTF-16LE bytes (an even count) to wide text. On an unpaired surrogate returns false with
// `text` holding what came before it.
bool DecodeUtf16Le(std::string_view bytes, std::wstring& text) {
    text.reserve(text.size() + bytes.size() / 2);
    const auto unit = [&](size_t i) {
        return static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    };
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        const char16_t u = unit(i);
        if (u < 0xD800 || u > 0xDFFF) {
            AppendCodePoint(text, u);
        } else if (u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            AppendCodePoint(text,
                            0x10000 + ((char32_t{u} - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::wstring> DecodeUtf8(std::string_view bytes) {
    if (bytes.empty()) return std::wstring();
    const int length = static_cast<int>(bytes.size());
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, text.data(), size);
    return text;
}

std::vector<std::wstring> SplitLines(std::wstring_view text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(L'\n', start), text.size());
        std::wstring_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

std::string LineError(size_t line, const std::string& message) {
    return "line " + std::to_string(line) + ": " + message;
}

// The file's lines as wide text: UTF-16LE with a byte-order mark, else UTF-8 (BOM optional).
bool DecodeLines(const std::string& bytes, std::vector<std::wstring>& lines, std::string& error) {
    const std::string_view data(bytes);
    if (data.size() >= 2 && data[0] == '\xFF' && data[1] == '\xFE') {
        const std::string_view body = data.substr(2);
        std::wstring text;
        if (!DecodeUtf16Le(body, text) || body.size() % 2 != 0) {
            const size_t line = 1 + std::count(text.begin(), text.end(), L'\n');
            error = LineError(line, "invalid UTF-16 text");
            return false;
        }
        lines = SplitLines(text);
        return true;
    }
    std::string_view body = data.substr(0, 3) == "\xEF\xBB\xBF" ? data.substr(3) : data;
    size_t number = 1;
    for (size_t start = 0; start <= body.size(); ++number) {
        const size_t end = std::min(body.find('\n', start), body.size());
        const std::optional<std::wstring> line = DecodeUtf8(body.substr(start, end - start));
        if (!line) {
            error = LineError(number, "invalid UTF-8 text");
            return false;
        }
        lines.push_back(*line);
        if (!lines.back().empty() && lines.back().back() == L'\r') lines.back().pop_back();
        start = end + 1;
    }
    return true;
}

std::optional<uint8_t> HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return static_cast<uint8_t>(c - L'0');
    const wchar_t lower = AsciiLower(c);
    if (lower >= L'a' && lower <= L'f') return static_cast<uint8_t>(lower - L'a' + 10);
    return std::nullopt;
}

// A hexadecimal number of at most `maxDigits` digits.
std::optional<uint64_t> ParseHexNumber(std::wstring_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    uint64_t value = 0;
    for (const wchar_t c : text) {
        const std::optional<uint8_t> digit = HexDigit(c);
        if (!digit) return std::nullopt;
        value = value * 16 + *digit;
    }
    return value;
}

std::vector<uint8_t> WideBytes(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(bytes, bytes + text.size() * sizeof(wchar_t));
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Parses the lines after the header into keys and values. Reports the first error with the
// number of the line it is on.
class RegFileParser {
  public:
    RegFileParser(std::vector<std::wstring> lines, bool unicode)
        : lines_(std::move(lines)), unicode_(unicode) {}

    bool Parse(RegFile& file, std::string& error) {
        for (current_ = 1; current_ < lines_.size(); ++current_) {
            const std::wstring_view line = TrimLeft(lines_[current_]);
            if (IsEndOfLine(line)) continue;
            const bool parsed =
                line.front() == L'[' ? ParseKey(line, file) : ParseValue(line, file);
            if (!parsed) {
                error = error_;
                return false;
            }
        }
        return true;
    }

  private:
    bool Fail(const std::string& message) {
        error_ = LineError(current_ + 1, message);
        return false;
    }

    bool ParseKey(std::wstring_view line, RegFile& file) {
        const size_t close = line.rfind(L']');
        if (close == std::wstring_view::npos) return Fail("unterminated key name");
        if (!IsEndOfLine(line.substr(close + 1))) return Fail("text after the key name");
        std::wstring_view name = line.substr(1, close - 1);
        RegFileKey key;
        if (!name.empty() && name.front() == L'-') {
            key.remove = true;
            name.remove_prefix(1);
        }
        const size_t separator = std::min(name.find(L'\\'), name.size());
        const std::wstring_view rootName = name.substr(0, separator);
        const auto root =
            std::find_if(std::begin(kRoots), std::end(kRoots),
                         [&](const RootName& r) { return EqualsAsciiNoCase(r.name, rootName); });
        if (root == std::end(kRoots)) return Fail("unknown root key " + Narrow(rootName));
        if (name.find(L'\0') != std::wstring_view::npos) return Fail("NUL character in a key name");
        key.root = root->root;
        key.line = current_ + 1;
        key.path = std::wstring(name.substr(std::min(separator + 1, name.size())));
        if (separator < name.size() && !IsValidPath(key.path)) {
            return Fail("bad key path \"" + Narrow(name) + "\"");
        }
        if (key.remove && key.path.empty()) return Fail("a root key cannot be removed");
        file.keys.push_back(std::move(key));
        return true;
    }

    static bool IsValidPath(std::wstring_view path) {
        if (path.empty() || path.front() == L'\\' || path.back() == L'\\') return false;
        return path.find(L"\\\\") == std::wstring_view::npos;
    }

    bool ParseValue(std::wstring_view line, RegFile& file) {
        RegFileValue value;
        value.line = current_ + 1;
        std::wstring_view rest;
        if (line.front() == L'@') {
            rest = line.substr(1);
        } else if (line.front() == L'"') {
            std::optional<std::wstring> name = ParseQuoted(line, rest);
            if (!name) return false;
            if (name->find(L'\0') != std::wstring::npos) {
                return Fail("NUL character in a value name");
            }
            value.name = std::move(*name);
        } else {
            return Fail("expected \"name\"=value");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != L'=') return Fail("expected \"name\"=value");
        if (file.keys.empty()) return Fail("value outside any key");
        if (file.keys.back().remove) return Fail("value inside a key that is removed");
        if (!ParseData(TrimLeft(rest.substr(1)), value)) return false;
        file.keys.back().values.push_back(std::move(value));
        return true;
    }

    // A quoted string with \\ and \" escapes; `rest` is what follows the closing quote.
    std::optional<std::wstring> ParseQuoted(std::wstring_view text, std::wstring_view& rest) {
        std::wstring result;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] == L'"') {
                rest = text.substr(i + 1);
                return result;
            }
            if (text[i] == L'\\') {
                if (i + 1 >= text.size()) break;
                if (text[i + 1] != L'\\' && text[i + 1] != L'"') {
                    Fail("bad escape \"\\" + Narrow(text.substr(i + 1, 1)) + "\" in a string");
                    return std::nullopt;
                }
                ++i;
            }
            result += text[i];
        }
        Fail("unterminated string");
        return std::nullopt;
    }

    bool ParseData(std::wstring_view text, RegFileValue& value) {
        if (!text.empty() && text.front() == L'"') return ParseStringData(text, value);
        if (!text.empty() && text.front() == L'-' && IsEndOfLine(text.substr(1))) {
            value.remove = true;
            return true;
        }
        if (StartsWithNoCase(text, L"dword:")) return ParseDword(text.substr(6), value);
        if (StartsWithNoCase(text, L"hex:")) return ParseHexData(REG_BINARY, text.substr(4), value);
        if (StartsWithNoCase(text, L"hex(")) {
            const size_t close = text.find(L"):");
            const std::optional<uint64_t> type =
                close == text.npos ? std::nullopt : ParseHexNumber(text.substr(4, close - 4), 8);
            if (!type) return Fail("bad value type \"" + Narrow(text.substr(0, close)) + ")\"");
            return ParseHexData(static_cast<DWORD>(*type), text.substr(close + 2), value);
        }
        return Fail("unknown value format \"" + Narrow(text) + "\"");
    }

    bool ParseStringData(std::wstring_view text, RegFileValue& value) {
        std::wstring_view rest;
        std::optional<std::wstring> content = ParseQuoted(text, rest);
        if (!content) return false;
        if (!IsEndOfLine(rest)) return Fail("text after the value");
        value.type = REG_SZ;
        content->push_back(L'\0');
        value.data = WideBytes(*content);
        return true;
    }

    bool ParseDword(std::wstring_view text, RegFileValue& value) {
        const size_t end = std::min(text.find_first_of(L" \t;"), text.size());
        if (!IsEndOfLine(text.substr(end))) return Fail("bad dword value \"" + Narrow(text) + "\"");
        const std::wstring_view digits = text.substr(0, end);
        const std::optional<uint64_t> number = ParseHexNumber(digits, 16);
        if (!number) {
            const bool allHex =
                !digits.empty() &&
                std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return HexDigit(c); });
            return Fail(allHex ? "dword value out of range"
                               : "bad dword value \"" + Narrow(digits) + "\"");
        }
        if (*number > 0xFFFFFFFFu) return Fail("dword value out of range");
        const auto dword = static_cast<DWORD>(*number);
        value.type = REG_DWORD;
        value.data.resize(sizeof dword);
        std::memcpy(value.data.data(), &dword, sizeof dword);
        return true;
    }

    // Comma-separated bytes, continued on the next line after a trailing backslash.
    bool ParseHexData(DWORD type, std::wstring_view text, RegFileValue& value) {
        std::string bytes;
        for (;;) {
            std::wstring_view segment =
                Trim(text.substr(0, std::min(text.find(L';'), text.size())));
            const bool continued = !segment.empty() && segment.back() == L'\\';
            if (continued) segment.remove_suffix(1);
            if (!ParseHexBytes(segment, continued, bytes)) return false;
            if (!continued) break;
            if (current_ + 1 >= lines_.size())
                return Fail("hex data continues past the end of the file");
            text = lines_[++current_];
        }
        return StoreHex(type, bytes, value);
    }

    bool ParseHexBytes(std::wstring_view segment, bool continued, std::string& bytes) {
        size_t start = 0;
        while (start < segment.size()) {
            const size_t comma = std::min(segment.find(L',', start), segment.size());
            const std::wstring_view token = Trim(segment.substr(start, comma - start));
            const bool lastEmpty = token.empty() && comma == segment.size() && continued;
            if (!lastEmpty) {
                const std::optional<uint64_t> byte = ParseHexNumber(token, 2);
                if (!byte) return Fail("bad hex byte \"" + Narrow(token) + "\"");
                bytes += static_cast<char>(*byte);
            }
            start = comma + 1;
        }
        return true;
    }

    // Strings arrive as UTF-16LE (REGEDIT4: ANSI) bytes and are stored as wide text.
    bool StoreHex(DWORD type, const std::string& bytes, RegFileValue& value) {
        value.type = type;
        if (type == REG_QWORD && bytes.size() != 8) return Fail("qword value must be 8 bytes");
        if (type == REG_DWORD && bytes.size() != 4) return Fail("dword value must be 4 bytes");
        if (!IsStringType(type)) {
            value.data.assign(bytes.begin(), bytes.end());
            return true;
        }
        std::wstring text;
        if (unicode_) {
            if (bytes.size() % 2 != 0) return Fail("odd number of bytes in a UTF-16 string");
            if (!DecodeUtf16Le(bytes, text)) return Fail("invalid text in a string value");
        } else {
            std::optional<std::wstring> narrowText = DecodeUtf8(bytes);
            if (!narrowText) return Fail("invalid text in a string value");
            text = std::move(*narrowText);
        }
        value.data = WideBytes(text);
        return true;
    }

    std::vector<std::wstring> lines_;
    bool unicode_;
    size_t current_ = 0;
    std::string error_;
};

std::string StatusText(LSTATUS status) {
    return " (error " + std::to_string(status) + ")";
}

std::string ValueText(const RegFileValue& value) {
    return value.name.empty() ? "@" : "\"" + Narrow(value.name) + "\"";
}

bool ApplyValue(HKEY key, const RegFileKey& fileKey, const RegFileValue& value,
                std::string& error) {
    if (value.remove) {
        const LSTATUS status = RegDeleteValueW(key, value.name.c_str());
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
        error = LineError(value.line, "cannot delete value " + ValueText(value) + " of " +
                                          KeyText(fileKey) + StatusText(status));
        return false;
    }
    const LSTATUS status = RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                                          static_cast<DWORD>(value.data.size()));
    if (status == ERROR_SUCCESS) return true;
    error = LineError(value.line, "cannot set value " + ValueText(value) + " of " +
                                      KeyText(fileKey) + StatusText(status));
    return false;
}

bool ApplyKey(const RegFileKey& fileKey, std::string& error) {
    if (fileKey.remove) {
        const LSTATUS status = RegDeleteTreeW(fileKey.root, fileKey.path.c_str());
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
        error =
            LineError(fileKey.line, "cannot remove key " + KeyText(fileKey) + StatusText(status));
        return false;
    }
    UniqueRegKey key;
    const LSTATUS status =
        RegCreateKeyExW(fileKey.root, fileKey.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        error =
            LineError(fileKey.line, "cannot create key " + KeyText(fileKey) + StatusText(status));
        return false;
    }
    return std::all_of(
        fileKey.values.begin(), fileKey.values.end(),
        [&](const RegFileValue& value) { return ApplyValue(key.get(), fileKey, value, error); });
}

}  // namespace

bool ParseRegFile(const std::string& bytes, RegFile& file, std::string& error) {
    std::vector<std::wstring> lines;
    if (!DecodeLines(bytes, lines, error)) return false;
    const std::wstring_view header = Trim(lines.front());
    if (header != kHeader5 && header != kHeader4) {
        error = LineError(1, "not a registry file (missing \"" + Narrow(kHeader5) + "\")");
        return false;
    }
    RegFile parsed;
    RegFileParser parser(std::move(lines), header == kHeader5);
    if (!parser.Parse(parsed, error)) return false;
    file = std::move(parsed);
    return true;
}

bool LoadRegFile(const std::filesystem::path& path, RegFile& file, std::string& error) {
    std::string bytes;
    return ReadOptionFile(path, bytes, error) && ParseRegFile(bytes, file, error);
}

bool ApplyRegFile(const RegFile& file, std::string& error) {
    return std::all_of(file.keys.begin(), file.keys.end(),
                       [&](const RegFileKey& key) { return ApplyKey(key, error); });
}

}  // namespace dorn
