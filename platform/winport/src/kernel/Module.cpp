// kernel32 modules over the dynamic loader.
#include <dlfcn.h>
#include <windows.h>

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "CaseFold.h"
#include "Faults.h"
#include "LoadedModules.h"
#include "ModuleLifecycle.h"
#include "Paths.h"
#include "Utf8.h"

namespace {

using winport::modules::ContainingModule;
using winport::modules::IsModule;

// The references LoadLibraryW took, so that FreeLibrary gives back exactly those.
class LibraryReferences {
  public:
    void Add(HMODULE module, void* dlHandle) {
        std::lock_guard lock(mutex_);
        Entry& entry = entries_[module];
        entry.dlHandle = dlHandle;
        ++entry.count;
    }

    // The dlopen() handle to close for one reference of `module`, or null when LoadLibraryW
    // holds none.
    void* Release(HMODULE module) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(module);
        if (it == entries_.end()) return nullptr;
        void* dlHandle = it->second.dlHandle;
        if (--it->second.count == 0) entries_.erase(it);
        return dlHandle;
    }

  private:
    struct Entry {
        void* dlHandle = nullptr;
        size_t count = 0;
    };
    std::mutex mutex_;
    std::map<HMODULE, Entry> entries_;
};

LibraryReferences& References() {
    static auto* references = new LibraryReferences();
    return *references;
}

template <typename Result>
Result FailWith(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

// The system libraries whose functions winport provides.
bool IsWinportAlias(std::wstring_view name) {
    static constexpr std::array<std::wstring_view, 6> kAliases = {
        L"ntdll.dll", L"kernel32.dll", L"advapi32.dll", L"user32.dll", L"pdh.dll", L"wtsapi32.dll"};
    std::wstring withExtension(name);
    if (name.find(L'.') == name.npos) withExtension += L".dll";  // as the Windows loader does
    for (std::wstring_view alias : kAliases) {
        if (winport::EqualsIgnoringCase(withExtension, alias)) return true;
    }
    return false;
}

bool HasDriveLetter(std::wstring_view name) {
    return name.size() >= 2 && name[1] == L':';
}

// What to hand dlopen(): a Linux path for a path on Z:, the name itself (slashes turned) for a
// bare or relative name; nullopt for a path on another drive.
std::optional<std::string> DlopenName(std::wstring_view fileName) {
    if (fileName.empty()) return std::nullopt;
    if (std::optional<std::string> path = winport::ToLinuxPath(fileName)) return path;
    if (HasDriveLetter(fileName) || fileName[0] == L'\\' || fileName[0] == L'/')
        return std::nullopt;
    std::wstring slashed(fileName);
    for (wchar_t& c : slashed) {
        if (c == L'\\') c = L'/';
    }
    std::string name;
    if (!winport::utf8::Encode(slashed, name, winport::utf8::Malformed::Escape))
        return std::nullopt;
    return name;
}

// The Windows error for a dlopen() failure, from the loader's message.
DWORD LoadError(const char* message) {
    const std::string text = message != nullptr ? message : "";
    if (text.find("undefined symbol") != text.npos) return ERROR_PROC_NOT_FOUND;
    if (text.find("Permission denied") != text.npos) return ERROR_ACCESS_DENIED;
    if (text.find("cannot open shared object file") != text.npos) return ERROR_MOD_NOT_FOUND;
    return ERROR_BAD_EXE_FORMAT;
}

bool IsOrdinal(LPCSTR procName) {
    return (reinterpret_cast<ULONG_PTR>(procName) >> 16) == 0;
}

// Copies as GetModuleFileNameW does: truncated to the buffer, always NUL-terminated when it
// has room for anything, the buffer size returned with ERROR_INSUFFICIENT_BUFFER.
DWORD CopyTruncated(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (text.size() < size) {
        std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        return static_cast<DWORD>(text.size());
    }
    if (size > 0) {
        std::memcpy(buffer, text.data(), (size - 1) * sizeof(wchar_t));
        buffer[size - 1] = L'\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
    if (auto code = winport::TakeInjectedFailure("LoadLibraryW")) return FailWith(*code, HMODULE{});
    if (fileName == nullptr) return FailWith(ERROR_INVALID_PARAMETER, HMODULE{});
    winport_WatchProcessExit();
    const std::optional<std::string> name = DlopenName(fileName);
    if (!name) return FailWith(ERROR_MOD_NOT_FOUND, HMODULE{});
    void* dlHandle = dlopen(name->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dlHandle == nullptr) return FailWith(LoadError(dlerror()), HMODULE{});
    const HMODULE module = winport::modules::ModuleOfDlHandle(dlHandle);
    if (module == nullptr || winport::TakeAttachFailure(module)) {
        dlclose(dlHandle);  // Windows unloads a library whose DllMain refused to attach
        return FailWith(ERROR_DLL_INIT_FAILED, HMODULE{});
    }
    References().Add(module, dlHandle);
    return module;
}

// A module that LoadLibraryW did not load (the executable, libraries loaded with it) stays, as
// statically imported DLLs do on Windows.
BOOL WINAPI FreeLibrary(HMODULE module) {
    if (auto code = winport::TakeInjectedFailure("FreeLibrary")) return FailWith(*code, FALSE);
    if (void* dlHandle = References().Release(module)) {
        dlclose(dlHandle);
        return TRUE;
    }
    return IsModule(module) ? TRUE : FailWith(ERROR_MOD_NOT_FOUND, FALSE);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (auto code = winport::TakeInjectedFailure("GetModuleHandleW")) {
        return FailWith(*code, HMODULE{});
    }
    if (moduleName == nullptr) return winport::modules::ExecutableModule();
    if (IsWinportAlias(moduleName)) return winport::modules::WinportModule();
    if (HMODULE module = winport::modules::FindLoaded(moduleName)) return module;
    return FailWith(ERROR_MOD_NOT_FOUND, HMODULE{});
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (auto code = winport::TakeInjectedFailure("GetProcAddress"))
        return FailWith(*code, FARPROC{});
    if (module == nullptr) module = winport::modules::ExecutableModule();
    if (!IsModule(module)) return FailWith(ERROR_MOD_NOT_FOUND, FARPROC{});
    if (IsOrdinal(procName)) return FailWith(ERROR_PROC_NOT_FOUND, FARPROC{});
    const winport::modules::DlReference reference(module);
    if (!reference.IsOpen()) return FailWith(ERROR_MOD_NOT_FOUND, FARPROC{});
    void* address = reference.Find(procName);
    if (address == nullptr) return FailWith(ERROR_PROC_NOT_FOUND, FARPROC{});
    return reinterpret_cast<FARPROC>(address);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (auto code = winport::TakeInjectedFailure("GetModuleFileNameW")) return FailWith(*code, 0u);
    if (fileName == nullptr && size > 0) return FailWith(ERROR_INVALID_PARAMETER, 0u);
    if (module == nullptr) module = winport::modules::ExecutableModule();
    const std::optional<std::string> path = winport::modules::FilePath(module);
    if (!path) return FailWith(ERROR_MOD_NOT_FOUND, 0u);
    return CopyTruncated(winport::ToWindowsPath(*path), fileName, size);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
    if (auto code = winport::TakeInjectedFailure("DisableThreadLibraryCalls")) {
        return FailWith(*code, FALSE);
    }
    // DllMain never hears of threads here, so there is nothing to switch off.
    return IsModule(module) ? TRUE : FailWith(ERROR_MOD_NOT_FOUND, FALSE);
}

}  // extern "C"
