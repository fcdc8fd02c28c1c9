// .reg files as dorn applies them at start: parsed whole, written to winport's registry, and the
// hive read back through the calls the plug-in makes.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "RegFile.h"
#include "UniqueHandle.h"
#include "winport/testing.h"

namespace {

using dorn::fuzz::Require;

dorn::RegFile Untouched() {
    dorn::RegFile file;
    file.keys.push_back({HKEY_CURRENT_USER, L"before", false, {}, 1});
    return file;
}

// Messages name lines: each key and value starts on a later line than what came before it,
// and line 1 is the header.
void CheckLines(const dorn::RegFile& file) {
    size_t line = 1;
    for (const dorn::RegFileKey& key : file.keys) {
        Require(key.line > line, "keys are numbered in file order");
        line = key.line;
        for (const dorn::RegFileValue& value : key.values) {
            Require(value.line > line, "values are numbered in file order");
            line = value.line;
        }
    }
}

std::vector<BYTE> ReadValue(HKEY key, const std::wstring& name, DWORD& type, LSTATUS& status) {
    DWORD size = 0;
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size);
    if (status == ERROR_SUCCESS && size > 0) {
        status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    }
    return data;
}

// The file's last word stands: its last key exists or is gone, and its last value reads as the
// file wrote it, or is gone.
void CheckLastWord(const dorn::RegFile& file) {
    if (file.keys.empty()) return;
    const dorn::RegFileKey& last = file.keys.back();
    UniqueRegKey key;
    const LSTATUS opened = RegOpenKeyExW(last.root, last.path.c_str(), 0, KEY_READ, key.put());
    if (last.remove) {
        Require(opened == ERROR_FILE_NOT_FOUND, "a removed key is gone");
        return;
    }
    Require(opened == ERROR_SUCCESS, "a written key opens");
    if (last.values.empty()) return;
    const dorn::RegFileValue& value = last.values.back();
    DWORD type = REG_NONE;
    LSTATUS status = ERROR_SUCCESS;
    const std::vector<BYTE> data = ReadValue(key.get(), value.name, type, status);
    if (value.remove) {
        Require(status == ERROR_FILE_NOT_FOUND, "a removed value is gone");
        return;
    }
    Require(status == ERROR_SUCCESS, "a written value reads");
    Require(type == value.type && data == value.data, "a value reads as the file wrote it");
}

// Every key of the hive agrees with what it says of itself: as many subkeys and values as it
// counts, none longer than its maxima, each value found again by its name with the same data,
// each subkey opened by its name.
void CheckHive() {
    std::vector<UniqueRegKey> open;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CLASSES_ROOT}) {
        UniqueRegKey key;
        Require(RegOpenKeyExW(root, L"", 0, KEY_READ, key.put()) == ERROR_SUCCESS, "a root opens");
        open.push_back(std::move(key));
    }
    while (!open.empty()) {
        UniqueRegKey key = std::move(open.back());
        open.pop_back();
        DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
        Require(
            RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr,
                             &values, &maxName, &maxData, nullptr, nullptr) == ERROR_SUCCESS,
            "a key describes itself");
        std::vector<wchar_t> name(std::max(maxSubkey, maxName) + 1);
        std::vector<BYTE> data(maxData);
        for (DWORD index = 0; index < values; ++index) {
            DWORD nameSize = maxName + 1, type = REG_NONE, dataSize = maxData;
            Require(RegEnumValueW(key.get(), index, name.data(), &nameSize, nullptr, &type,
                                  data.data(), &dataSize) == ERROR_SUCCESS,
                    "each counted value enumerates within the maxima");
            const std::wstring valueName(name.data(), nameSize);
            DWORD typeByName = REG_NONE;
            LSTATUS status = ERROR_SUCCESS;
            const std::vector<BYTE> byName = ReadValue(key.get(), valueName, typeByName, status);
            Require(status == ERROR_SUCCESS && typeByName == type &&
                        byName == std::vector<BYTE>(data.begin(), data.begin() + dataSize),
                    "a value found by its name is the value enumerated");
        }
        DWORD nameSize = static_cast<DWORD>(name.size());
        Require(RegEnumValueW(key.get(), values, name.data(), &nameSize, nullptr, nullptr, nullptr,
                              nullptr) == ERROR_NO_MORE_ITEMS,
                "no value beyond the count");
        for (DWORD index = 0; index < subkeys; ++index) {
            nameSize = maxSubkey + 1;
            Require(RegEnumKeyExW(key.get(), index, name.data(), &nameSize, nullptr, nullptr,
                                  nullptr, nullptr) == ERROR_SUCCESS,
                    "each counted subkey enumerates within the maximum");
            UniqueRegKey subkey;
            Require(RegOpenKeyExW(key.get(), std::wstring(name.data(), nameSize).c_str(), 0,
                                  KEY_READ, subkey.put()) == ERROR_SUCCESS,
                    "a subkey opens by its name");
            open.push_back(std::move(subkey));
        }
        nameSize = static_cast<DWORD>(name.size());
        Require(RegEnumKeyExW(key.get(), subkeys, name.data(), &nameSize, nullptr, nullptr, nullptr,
                              nullptr) == ERROR_NO_MORE_ITEMS,
                "no subkey beyond the count");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    dorn::RegFile file = Untouched();
    std::string error;
    if (!dorn::ParseRegFile(bytes, file, error)) {
        Require(!error.empty(), "a refused file says why");
        Require(file.keys.size() == 1 && file.keys[0].path == L"before",
                "a refused file changes nothing");
        return 0;
    }
    CheckLines(file);
    winport::testing::ResetRegistry();
    if (dorn::ApplyRegFile(file, error)) {
        CheckLastWord(file);
    } else {
        Require(!error.empty(), "a file that cannot be applied says why");
    }
    Require(winport::testing::OpenRegistryKeyCount() == 0, "applying a file closes its keys");
    CheckHive();
    Require(winport::testing::OpenRegistryKeyCount() == 0, "reading the hive closes its keys");
    return 0;
}
