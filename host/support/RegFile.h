// Registry files in the format regedit exports ("Windows Registry Editor Version 5.00"), UTF-16LE
// with a byte-order mark or UTF-8. A file is parsed whole before anything is written, so a file
// with an error changes nothing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace dorn {

struct RegFileValue {
    std::wstring name;  // empty: the key's default value ("@")
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;  // as RegSetValueExW takes it (strings UTF-16LE/wchar_t with NUL)
    bool remove = false;        // "name"=-
    size_t line = 0;            // where it starts, for messages
};

struct RegFileKey {
    HKEY root = nullptr;  // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, ...
    std::wstring path;    // below the root, backslash-separated
    bool remove = false;  // [-HKEY_...\path]
    std::vector<RegFileValue> values;
    size_t line = 0;  // of its [key] line, for messages
};

struct RegFile {
    std::vector<RegFileKey> keys;
};

// Parses the bytes of a .reg file. On failure returns false with `error` naming the line, e.g.
// "line 7: expected \"name\"=value".
bool ParseRegFile(const std::string& bytes, RegFile& file, std::string& error);
bool LoadRegFile(const std::filesystem::path& path, RegFile& file, std::string& error);

// Writes a parsed file with RegCreateKeyExW / RegSetValueExW (and deletes what it removes).
// False with `error` naming the line and the key or value when a registry call fails.
bool ApplyRegFile(const RegFile& file, std::string& error);

}  // namespace dorn
