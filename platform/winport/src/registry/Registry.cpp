// advapi32 registry calls over the in-memory hive, with Windows' argument checks, size
// protocols and error codes.
#include <windows.h>

#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "Faults.h"
#include "RegistryHive.h"
#include "winport/testing.h"

namespace {

using winport::registry::Hive;
using winport::registry::Key;
using winport::registry::Value;
using KeyPtr = std::shared_ptr<Key>;

constexpr size_t kMaxKeyNameLength = 255;

std::wstring_view OrEmpty(LPCWSTR text) {
    return text != nullptr ? text : L"";
}

// Runs a call, turning a failed allocation into the status Windows gives for it.
template <typename Call>
LSTATUS Guarded(Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

// Splits "A\B\C" as Windows does: runs of backslashes separate names and a trailing one is
// ignored, but a path may not start with one (except below HKEY_CLASSES_ROOT, which Windows
// tolerates), and a name is at most 255 characters.
LSTATUS SplitKeyPath(HKEY base, LPCWSTR subKey, std::vector<std::wstring_view>& names) {
    std::wstring_view path = OrEmpty(subKey);
    if (!path.empty() && path[0] == L'\\') {
        if (base != HKEY_CLASSES_ROOT) return ERROR_BAD_PATHNAME;
        path.remove_prefix(1);
    }
    size_t start = 0;
    while (start < path.size()) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// The live key a handle refers to; the caller holds the hive's lock.
LSTATUS Lookup(const Hive& hive, HKEY handle, KeyPtr& key) {
    key = hive.Resolve(handle);
    if (!key) return ERROR_INVALID_HANDLE;
    return key->IsDeleted() ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// Runs `use(hive, key)` on the live key a handle refers to, under the hive's lock: a
// std::shared_lock to read, a std::unique_lock to change the hive.
template <template <typename> class Lock, typename Use>
LSTATUS WithKey(HKEY handle, Use use) {
    Hive& hive = Hive::Instance();
    Lock<std::shared_mutex> lock(hive.Mutex());
    KeyPtr key;
    if (LSTATUS status = Lookup(hive, handle, key)) return status;
    return use(hive, key);
}

KeyPtr Walk(KeyPtr key, const std::vector<std::wstring_view>& names, size_t count) {
    for (size_t i = 0; i < count && key; ++i) key = key->FindSubkey(names[i]);
    return key;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies a value's data as RegQueryValueExW and RegEnumValueW do: the needed size goes back in
// *dataSize either way; ERROR_MORE_DATA leaves the buffer untouched. Like Windows, a string
// stored without its NUL gets one when the buffer has room for it.
LSTATUS CopyData(const Value& value, LPBYTE data, LPDWORD dataSize) {
    const size_t size = value.data.size();
    LSTATUS status = ERROR_SUCCESS;
    if (data != nullptr) {
        const size_t capacity = *dataSize;
        if (size > capacity) {
            status = ERROR_MORE_DATA;
        } else {
            // An empty value has no storage to copy from.
            if (size > 0) std::memcpy(data, value.data.data(), size);
            wchar_t last = L'\0';
            if (IsStringType(value.type) && size >= sizeof last && capacity - size >= sizeof last) {
                std::memcpy(&last, data + size - sizeof last, sizeof last);
                const wchar_t nul = L'\0';
                if (last != L'\0') std::memcpy(data + size, &nul, sizeof nul);
            }
        }
    }
    if (dataSize != nullptr) *dataSize = static_cast<DWORD>(size);
    return status;
}

// Copies a name with its NUL when it fits in *size characters; the length without the NUL
// goes back in *size.
bool CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD size) {
    if (name.size() >= *size) return false;
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    *size = static_cast<DWORD>(name.size());
    return true;
}

template <typename T>
void Store(T* out, const T& value) {
    if (out != nullptr) *out = value;
}

LSTATUS OpenKey(HKEY base, LPCWSTR subKey, PHKEY result) {
    return WithKey<std::unique_lock>(base, [&](Hive& hive, KeyPtr key) -> LSTATUS {
        std::vector<std::wstring_view> names;
        if (LSTATUS status = SplitKeyPath(base, subKey, names)) return status;
        key = Walk(key, names, names.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        *result = hive.AddHandle(std::move(key));
        return ERROR_SUCCESS;
    });
}

LSTATUS CreateKey(HKEY base, LPCWSTR subKey, LPCWSTR keyClass, PHKEY result, LPDWORD disposition) {
    return WithKey<std::unique_lock>(base, [&](Hive& hive, KeyPtr key) -> LSTATUS {
        std::vector<std::wstring_view> names;
        if (LSTATUS status = SplitKeyPath(base, subKey, names)) return status;
        // A key below the deepest level cannot exist, so nothing is created on the way to it.
        if (key->Depth() + names.size() > winport::registry::kMaxKeyDepth) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD outcome = REG_OPENED_EXISTING_KEY;
        for (size_t i = 0; i < names.size(); ++i) {
            KeyPtr next = key->FindSubkey(names[i]);
            if (!next) {
                const bool last = i + 1 == names.size();
                next = key->AddSubkey(names[i], last ? OrEmpty(keyClass) : L"");
                if (last) outcome = REG_CREATED_NEW_KEY;
            }
            key = std::move(next);
        }
        *result = hive.AddHandle(std::move(key));
        Store(disposition, outcome);
        return ERROR_SUCCESS;
    });
}

LSTATUS DeleteTree(HKEY base, LPCWSTR subKey) {
    return WithKey<std::unique_lock>(base, [&](Hive&, const KeyPtr& key) -> LSTATUS {
        std::vector<std::wstring_view> names;
        if (LSTATUS status = SplitKeyPath(base, subKey, names)) return status;
        if (names.empty()) {
            key->DeleteContents();
            return ERROR_SUCCESS;
        }
        const KeyPtr parent = Walk(key, names, names.size() - 1);
        return parent && parent->DeleteSubkey(names.back()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                             PHKEY result) {
    if (result != nullptr) *result = nullptr;
    if (auto code = winport::TakeInjectedFailure("RegOpenKeyExW")) return *code;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&] { return OpenKey(key, subKey, result); });
}

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                               DWORD options, REGSAM desired, const LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition) {
    if (result != nullptr) *result = nullptr;
    if (auto code = winport::TakeInjectedFailure("RegCreateKeyExW")) return *code;
    if (reserved != 0 || result == nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&] { return CreateKey(key, subKey, keyClass, result, disposition); });
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (auto code = winport::TakeInjectedFailure("RegCloseKey")) return *code;
    Hive& hive = Hive::Instance();
    std::unique_lock lock(hive.Mutex());
    return hive.CloseHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataSize) {
    if (auto code = winport::TakeInjectedFailure("RegQueryValueExW")) return *code;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey<std::shared_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
        const Value* value = target->FindValue(OrEmpty(valueName));
        if (value == nullptr) return ERROR_FILE_NOT_FOUND;
        Store(type, value->type);
        return CopyData(*value, data, dataSize);
    });
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD dataSize) {
    if (auto code = winport::TakeInjectedFailure("RegSetValueExW")) return *code;
    if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
    return Guarded([&] {
        return WithKey<std::unique_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
            target->SetValue(OrEmpty(valueName), type, data, dataSize);
            return ERROR_SUCCESS;
        });
    });
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    if (auto code = winport::TakeInjectedFailure("RegDeleteValueW")) return *code;
    return WithKey<std::unique_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
        return target->DeleteValue(OrEmpty(valueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    if (auto code = winport::TakeInjectedFailure("RegDeleteTreeW")) return *code;
    return Guarded([&] { return DeleteTree(key, subKey); });
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
    if (auto code = winport::TakeInjectedFailure("RegQueryInfoKeyW")) return *code;
    if (reserved != nullptr || (keyClass != nullptr && classSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey<std::shared_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
        LSTATUS status = ERROR_SUCCESS;
        if (keyClass != nullptr && !CopyName(target->Class(), keyClass, classSize)) {
            status = ERROR_MORE_DATA;
        }
        Store(classSize, static_cast<DWORD>(target->Class().size()));
        const winport::registry::KeyInfo info = target->Info();
        Store(subKeys, info.subkeys);
        Store(maxSubKeyLen, info.maxSubkeyName);
        Store(maxClassLen, info.maxSubkeyClass);
        Store(values, info.values);
        Store(maxValueNameLen, info.maxValueName);
        Store(maxValueLen, info.maxValueData);
        Store(securityDescriptor, DWORD{0});  // keys carry no security descriptor here
        Store(lastWriteTime, target->LastWrite());
        return status;
    });
}

LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameSize,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (auto code = winport::TakeInjectedFailure("RegEnumValueW")) return *code;
    if (reserved != nullptr || valueName == nullptr || valueNameSize == nullptr ||
        (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey<std::shared_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
        if (index >= target->Values().size()) return ERROR_NO_MORE_ITEMS;
        const Value& value = target->Values()[index];
        Store(type, value.type);
        if (!CopyName(value.name, valueName, valueNameSize)) {
            Store(dataSize, static_cast<DWORD>(value.data.size()));
            return ERROR_MORE_DATA;
        }
        return CopyData(value, data, dataSize);
    });
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                             LPWSTR keyClass, LPDWORD classSize, PFILETIME lastWriteTime) {
    if (auto code = winport::TakeInjectedFailure("RegEnumKeyExW")) return *code;
    if (reserved != nullptr || name == nullptr || nameSize == nullptr ||
        (keyClass != nullptr && classSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey<std::shared_lock>(key, [&](Hive&, const KeyPtr& target) -> LSTATUS {
        if (index >= target->Subkeys().size()) return ERROR_NO_MORE_ITEMS;
        const Key& subkey = *target->Subkeys()[index];
        Store(lastWriteTime, subkey.LastWrite());
        if (subkey.Name().size() >= *nameSize ||
            (keyClass != nullptr && subkey.Class().size() >= *classSize)) {
            return ERROR_MORE_DATA;
        }
        CopyName(subkey.Name(), name, nameSize);
        if (keyClass != nullptr) CopyName(subkey.Class(), keyClass, classSize);
        Store(classSize, static_cast<DWORD>(subkey.Class().size()));
        return ERROR_SUCCESS;
    });
}

}  // extern "C"

namespace winport::testing {

void ResetRegistry() {
    Hive& hive = Hive::Instance();
    std::unique_lock lock(hive.Mutex());
    hive.Reset();
}

size_t OpenRegistryKeyCount() {
    Hive& hive = Hive::Instance();
    std::shared_lock lock(hive.Mutex());
    return hive.OpenHandleCount();
}

}  // namespace winport::testing
