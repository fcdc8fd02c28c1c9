// CORE::corestring::readRegistry: a registry value, named by a full path, read as text.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "quillmesh/corestring.h"

namespace CORE::detail {

namespace {

// Closes the key on every path.
class OpenKey {
  public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (m_key) RegCloseKey(m_key);
    }
    bool Open(HKEY root, const std::wstring& subKey) {
        return RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &m_key) == ERROR_SUCCESS;
    }
    HKEY get() const { return m_key; }

  private:
    HKEY m_key = nullptr;
};

struct ValuePath {
    HKEY root = nullptr;
    std::wstring key;
    std::wstring value;
};

HKEY RootByName(std::wstring_view name) {
    struct Root {
        const wchar_t* shortName;
        const wchar_t* longName;
        HKEY key;
    };
    static const Root roots[] = {
        {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKU", L"HKEY_USERS", HKEY_USERS},
        {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    };
    for (const Root& root : roots) {
        if (CompareNoCase(name, root.shortName) == 0 || CompareNoCase(name, root.longName) == 0) {
            return root.key;
        }
    }
    return nullptr;
}

// "HKLM\Key\Path\ValueName": hive, key below it, value name.
std::optional<ValuePath> SplitValuePath(std::wstring_view path) {
    size_t firstSlash = path.find(L'\\');
    size_t lastSlash = path.rfind(L'\\');
    if (firstSlash == std::wstring_view::npos) return std::nullopt;
    ValuePath parts;
    parts.root = RootByName(path.substr(0, firstSlash));
    if (!parts.root) return std::nullopt;
    if (lastSlash > firstSlash) parts.key = path.substr(firstSlash + 1, lastSlash - firstSlash - 1);
    parts.value = path.substr(lastSlash + 1);
    return parts;
}

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::optional<RawValue> QueryValue(HKEY key, const std::wstring& name) {
    RawValue raw;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &raw.type, nullptr, &size);
    // The value may grow between the size query and the read: ask again while it does.
    for (int attempt = 0; attempt < 8 && status == ERROR_SUCCESS; ++attempt) {
        raw.data.resize(size);
        DWORD got = size;
        status = RegQueryValueExW(key, name.c_str(), nullptr, &raw.type, raw.data.data(), &got);
        if (status == ERROR_SUCCESS) {
            raw.data.resize(got);
            return raw;
        }
        if (status == ERROR_MORE_DATA) {
            size = got;
            status = ERROR_SUCCESS;
        }
    }
    return std::nullopt;
}

// Strings as stored, without their terminators; a multi-string keeps the NULs between its
// strings.
std::wstring TextOfStringValue(const std::vector<BYTE>& data) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

std::optional<std::wstring> EnvironmentValue(const std::wstring& name) {
    std::string narrow;
    if (!NarrowFromWide(name, CP_UTF8, narrow)) return std::nullopt;
    const char* value = std::getenv(narrow.c_str());
    if (!value) return std::nullopt;
    std::wstring wide;
    if (!WideFromNarrow(value, CP_UTF8, wide)) return std::nullopt;
    return wide;
}

// %NAME% replaced by the environment variable; unknown names stay as written, as Windows
// leaves them.
std::wstring ExpandEnvironment(const std::wstring& text) {
    std::wstring out;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find(L'%', at);
        size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) break;
        out.append(text, at, open - at);
        std::wstring name = text.substr(open + 1, close - open - 1);
        std::optional<std::wstring> value = name.empty() ? std::nullopt : EnvironmentValue(name);
        if (value) {
            out.append(*value);
            at = close + 1;
        } else {
            out.push_back(L'%');
            at = open + 1;
        }
    }
    out.append(text, at, std::wstring::npos);
    return out;
}

template <typename Number>
std::optional<std::wstring> DecimalOf(const std::vector<BYTE>& data) {
    if (data.size() < sizeof(Number)) return std::nullopt;
    Number number;
    std::memcpy(&number, data.data(), sizeof(Number));
    return std::to_wstring(number);
}

std::optional<std::wstring> TextOf(const RawValue& raw, bool expandEnvironment) {
    switch (raw.type) {
        case REG_SZ:
        case REG_MULTI_SZ:
            return TextOfStringValue(raw.data);
        case REG_EXPAND_SZ: {
            std::wstring text = TextOfStringValue(raw.data);
            return expandEnvironment ? ExpandEnvironment(text) : text;
        }
        case REG_DWORD:
            return DecimalOf<uint32_t>(raw.data);
        case REG_DWORD_BIG_ENDIAN: {
            if (raw.data.size() < 4) return std::nullopt;
            uint32_t number = uint32_t{raw.data[0]} << 24 | uint32_t{raw.data[1]} << 16 |
                              uint32_t{raw.data[2]} << 8 | uint32_t{raw.data[3]};
            return std::to_wstring(number);
        }
        case REG_QWORD:
            return DecimalOf<uint64_t>(raw.data);
        default:
            return std::nullopt;  // binary data has no text form
    }
}

}  // namespace

std::wstring ReadRegistryText(std::wstring_view path, std::wstring_view fallback,
                              bool expandEnvironment) {
    std::optional<ValuePath> parts = SplitValuePath(path);
    if (!parts) return std::wstring(fallback);
    OpenKey key;
    if (!key.Open(parts->root, parts->key)) return std::wstring(fallback);
    std::optional<RawValue> raw = QueryValue(key.get(), parts->value);
    if (!raw) return std::wstring(fallback);
    std::optional<std::wstring> text = TextOf(*raw, expandEnvironment);
    return text ? *text : std::wstring(fallback);
}

}  // namespace CORE::detail
