// HKEY_LOCAL_MACHINE redirected to a private key, as test suites on Windows keep their writes
// off the machine's own registry.
#include "PrivateMachineRegistry.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace dorn {
namespace {

constexpr const wchar_t* kParentPath = L"Software\\dorn";
constexpr std::wstring_view kKeyPrefix = L"registry-";

// RegOverridePredefKey acts on the whole process: one private registry at a time.
std::atomic<bool> g_redirected{false};

class ScopedKey {
  public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    HKEY get() const { return m_key; }
    HKEY* put() { return &m_key; }

  private:
    HKEY m_key = nullptr;
};

class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() {
        if (m_handle != nullptr) CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return m_handle; }

  private:
    HANDLE m_handle;
};

std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::string Failure(const std::string& what, LSTATUS status) {
    return what + " (error " + std::to_string(status) + ")";
}

// The creation time of a running process, which tells it from a later one with the same id.
// An ended process that someone still holds a handle to is not running.
std::optional<uint64_t> ProcessStartTime(DWORD processId) {
    ScopedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (process.get() == nullptr) return std::nullopt;
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::nullopt;
    return uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

std::wstring OwnKeyName() {
    const DWORD processId = GetCurrentProcessId();
    return std::wstring(kKeyPrefix) + std::to_wstring(processId) + L"-" +
           std::to_wstring(ProcessStartTime(processId).value_or(0));
}

std::optional<uint64_t> ParseDecimal(std::wstring_view digits) {
    if (digits.empty() || digits.size() > 19) return std::nullopt;  // 19 digits fit 64 bits
    uint64_t value = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return value;
}

// "registry-<pid>-<start>" of a process that no longer runs. Keys of other shapes are not ours
// to judge.
bool IsLeftBehind(std::wstring_view name) {
    if (name.substr(0, kKeyPrefix.size()) != kKeyPrefix) return false;
    name.remove_prefix(kKeyPrefix.size());
    const size_t dash = name.find(L'-');
    if (dash == std::wstring_view::npos) return false;
    const std::optional<uint64_t> processId = ParseDecimal(name.substr(0, dash));
    const std::optional<uint64_t> start = ParseDecimal(name.substr(dash + 1));
    if (!processId || !start || *processId > UINT32_MAX) return false;
    return ProcessStartTime(static_cast<DWORD>(*processId)) != start;
}

// Private keys of processes that ended without deleting theirs (killed, or gone through
// _Exit as death-test children do).
void DeleteLeftBehindKeys(HKEY parent) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(std::size(name));
        const LSTATUS status =
            RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // longer than any name of ours
        if (status != ERROR_SUCCESS) break;
        if (IsLeftBehind(std::wstring_view(name, length))) names.emplace_back(name, length);
    }
    for (const std::wstring& stale : names) RegDeleteTreeW(parent, stale.c_str());
}

std::optional<std::vector<BYTE>> QueryValue(HKEY key, const wchar_t* name, DWORD& type,
                                            LSTATUS& status) {
    DWORD size = 0;
    status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    // The value may grow between asking its size and reading it: ask again, a few times, while
    // it does. A size that does not grow will not fit the next time either.
    for (int attempt = 0; attempt < 8 && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA);
         ++attempt) {
        if (status == ERROR_MORE_DATA && size <= data.size()) break;
        data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            data.resize(size);
            return data;
        }
    }
    return std::nullopt;
}

// Copies HKLM\`path` ("Key\Path\ValueName") of the machine into the same place below `target`.
bool CarryValue(const std::wstring& path, HKEY target, std::string& error) {
    const size_t slash = path.rfind(L'\\');
    const std::wstring keyPath = slash == std::wstring::npos ? L"" : path.substr(0, slash);
    const std::wstring valueName = slash == std::wstring::npos ? path : path.substr(slash + 1);

    ScopedKey source;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, source.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    DWORD type = REG_NONE;
    std::optional<std::vector<BYTE>> data;
    if (status == ERROR_SUCCESS) data = QueryValue(source.get(), valueName.c_str(), type, status);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (!data) {
        error = Failure("cannot read HKEY_LOCAL_MACHINE\\" + Narrow(path), status);
        return false;
    }
    ScopedKey copy;
    status = RegCreateKeyExW(target, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, nullptr, copy.put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(copy.get(), valueName.c_str(), 0, type, data->data(),
                                static_cast<DWORD>(data->size()));
    }
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot copy HKEY_LOCAL_MACHINE\\" + Narrow(path), status);
        return false;
    }
    return true;
}

// Fills the new private key and redirects HKLM to it.
bool Redirect(HKEY key, const std::vector<std::wstring>& carried, std::string& error) {
    for (const std::wstring& path : carried) {
        if (!CarryValue(path, key, error)) return false;
    }
    const LSTATUS status = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key);
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot redirect HKEY_LOCAL_MACHINE", status);
        return false;
    }
    return true;
}

}  // namespace

PrivateMachineRegistry::~PrivateMachineRegistry() {
    if (m_keyPath.empty()) return;
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_keyPath.c_str());
    g_redirected.store(false);
}

bool PrivateMachineRegistry::Open(const std::vector<std::wstring>& carried, std::string& error) {
    if (g_redirected.exchange(true)) {
        error = "HKEY_LOCAL_MACHINE is already redirected in this process";
        return false;
    }
    ScopedKey parent;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, kParentPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, parent.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        g_redirected.store(false);
        error = Failure("cannot create HKEY_CURRENT_USER\\" + Narrow(kParentPath), status);
        return false;
    }
    DeleteLeftBehindKeys(parent.get());

    const std::wstring name = OwnKeyName();
    // Whatever an earlier private registry of this process left is not carried over.
    RegDeleteTreeW(parent.get(), name.c_str());
    ScopedKey key;
    status = RegCreateKeyExW(parent.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        g_redirected.store(false);
        error = Failure("cannot create the private key " + Narrow(name), status);
        return false;
    }
    if (!Redirect(key.get(), carried, error)) {
        RegDeleteTreeW(parent.get(), name.c_str());
        g_redirected.store(false);
        return false;
    }
    m_keyPath = std::wstring(kParentPath) + L"\\" + name;
    return true;
}

}  // namespace dorn
