// Helpers for tests that seed and read the registry with the Windows calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "UniqueHandle.h"

namespace dorn::test::registry {

inline LSTATUS Create(HKEY base, const wchar_t* path, UniqueRegKey& key,
                      DWORD* disposition = nullptr) {
    return RegCreateKeyExW(base, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                           disposition);
}

inline LSTATUS Open(HKEY base, const wchar_t* path, UniqueRegKey& key) {
    return RegOpenKeyExW(base, path, 0, KEY_READ, key.put());
}

inline LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& text,
                         DWORD type = REG_SZ) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

inline LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

// Names in enumeration order; `enumerate(index, buffer, size)` is RegEnumValueW or
// RegEnumKeyExW on one key.
template <typename Enumerate>
std::vector<std::wstring> EnumeratedNames(Enumerate enumerate) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0, size = 256; enumerate(index, name, &size) == ERROR_SUCCESS;
         ++index, size = 256) {
        names.emplace_back(name, size);
    }
    return names;
}

inline std::vector<std::wstring> ValueNames(HKEY key) {
    return EnumeratedNames([key](DWORD index, LPWSTR name, LPDWORD size) {
        return RegEnumValueW(key, index, name, size, nullptr, nullptr, nullptr, nullptr);
    });
}

inline std::vector<std::wstring> SubkeyNames(HKEY key) {
    return EnumeratedNames([key](DWORD index, LPWSTR name, LPDWORD size) {
        return RegEnumKeyExW(key, index, name, size, nullptr, nullptr, nullptr, nullptr);
    });
}

// The value read back the way the plug-in reads one: ask the size, allocate, read.
inline std::vector<BYTE> ReadData(HKEY key, const wchar_t* name, DWORD* type = nullptr) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key, name, nullptr, type, data.data(), &size) != ERROR_SUCCESS) return {};
    data.resize(size);
    return data;
}

inline std::wstring ReadString(HKEY key, const wchar_t* name) {
    const std::vector<BYTE> data = ReadData(key, name);
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::copy(data.begin(), data.begin() + text.size() * sizeof(wchar_t),
              reinterpret_cast<BYTE*>(text.data()));
    return text.substr(0, text.find(L'\0'));
}

}  // namespace dorn::test::registry
