#include "ProcessChecker.h"

#include <mutex>
#include <string_view>
#include <vector>

#include "LogMessage.h"
#include "CriticalProcessChecker.h"
#include "ServiceEnumerator.h"

namespace {

// Lives until the library is unloaded; built at most once successfully.
struct BlackListState {
    std::mutex lock;  // the checker lock: held for the whole of each decision
    std::unordered_set<std::wstring> paths;
    bool built = false;
};

BlackListState& State() {
    static BlackListState state;
    return state;
}

const std::vector<std::wstring>& SystemExecutableNames() {
    static const std::vector<std::wstring> names = {L"csrss.exe", L"smss.exe", L"lsass.exe",
                                                    L"winlogon.exe", L"wininit.exe"};
    return names;
}

const std::vector<std::wstring>& AgentExecutableNames() {
    static const std::vector<std::wstring> names = {L"dorn.exe", L"sarn.exe", L"dorn_jms.exe"};
    return names;
}

// The agent's executables are named as on Windows; a Linux build installs them without the
// Windows suffix, and it is those files that run there.
std::wstring InstalledExecutableName(const std::wstring& name) {
#if defined(_WIN32)
    return name;
#else
    constexpr std::wstring_view kWindowsSuffix = L".exe";
    return name.ends_with(kWindowsSuffix) ? name.substr(0, name.size() - kWindowsSuffix.size())
                                          : name;
#endif
}

// The critical and protected tests: true when either refuses the process. A test that cannot
// be made is logged and passed over.
bool RefusedBySystem(const std::wstring& path, HANDLE process) {
    static const wchar_t* const kPrefix = L"ProcessChecker::IsProcessInBlackList";
    bool critical = false;
    if (!CriticalProcessChecker::IsProcessCritical(process, critical)) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to check if '%s' is critical", kPrefix,
                   path.c_str());
    } else if (critical) {
        LogMessage(CORE::SysMessageVerbose, L"%s: '%s' is a critical process", kPrefix,
                   path.c_str());
        return true;
    }
    bool isProtected = false;
    if (!CriticalProcessChecker::IsProcessProtected(process, isProtected)) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to check if '%s' is protected", kPrefix,
                   path.c_str());
    } else if (isProtected) {
        LogMessage(CORE::SysMessageDebug, L"%s: '%s' is a protected process", kPrefix,
                   path.c_str());
        return true;
    }
    return false;
}

// Process ids of the active services, gathered afresh; partial when the walk fails.
std::unordered_set<DWORD> ServiceProcessIds() {
    std::unordered_set<DWORD> processIds;
    ServiceEnumerator enumerator([&processIds](const SERVICE_STATUS_PROCESS* status) {
        return ProcessChecker::ExtractServiceToCustomizedSet(status, processIds);
    });
    enumerator.EnumerateServices();
    return processIds;
}

}  // namespace

bool ProcessChecker::IsProcessInBlackList(const std::wstring& path, HANDLE process,
                                          DWORD processId) {
    static const wchar_t* const kPrefix = L"ProcessChecker::IsProcessInBlackList";
    BlackListState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    if (RefusedBySystem(path, process)) return true;
    std::wstring normalized;
    if (!GetNormalizedLowerCasePath(path, normalized)) return true;
    if (!state.built && !InitBlackList()) return true;
    LogMessage(CORE::SysMessageDebug, L"%s: Checking black list for '%s'", kPrefix, path.c_str());
    if (state.paths.count(normalized) != 0) {
        LogMessage(CORE::SysMessageDebug, L"%s: Black list contains '%s'", kPrefix, path.c_str());
        return true;
    }
    if (ServiceProcessIds().count(processId) != 0) {
        LogMessage(CORE::SysMessageDebug, L"%s: Service list contains '%d'", kPrefix, processId);
        return true;
    }
    LogMessage(CORE::SysMessageDebug, L"%s: Process '%s' is not in the black list", kPrefix,
               path.c_str());
    return false;
}

bool ProcessChecker::InitBlackList() {
    static const wchar_t* const kPrefix = L"ProcessChecker::InitBlackList";
    BlackListState& state = State();
    state.paths.clear();
    if (!AddCriticalSystemProcess()) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to add system critical process", kPrefix);
        return false;
    }
    if (!AddPallidoProcessesToBlackList()) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to add pallido process", kPrefix);
        return false;
    }
    state.built = true;
    return true;
}

bool ProcessChecker::AddCriticalSystemProcess() {
    static const wchar_t* const kPrefix = L"ProcessChecker::AddCriticalSystemProcess";
    WCHAR directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    // A length of MAX_PATH or more is the size a larger buffer would need: nothing was read.
    if (length == 0 || length >= MAX_PATH) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to query system path, error: %d", kPrefix,
                   GetLastError());
        return false;
    }
    LogMessage(CORE::SysMessageDebug, L"%s: System path: %s", kPrefix, directory);
    for (const std::wstring& name : SystemExecutableNames()) {
        AddProcessToBlackList(std::wstring(directory) + L"\\" + name);
    }
    return true;
}

bool ProcessChecker::AddPallidoProcessesToBlackList() {
    const CORE::corestring<wchar_t> host = CORE::corestring<wchar_t>::getModuleName(nullptr);
    if (host.empty()) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to query current process image path: %d",
                   L"ProcessChecker::AddPallidoProcessesToBlackList", GetLastError());
        return false;
    }
    const CORE::corestring<wchar_t> directory = host.dropLastPath();
    for (const std::wstring& name : AgentExecutableNames()) {
        AddProcessToBlackList(directory.appendPath(InstalledExecutableName(name)));
    }
    return true;
}

bool ProcessChecker::AddProcessToBlackList(const std::wstring& path) {
    LogMessage(CORE::SysMessageDebug, L"%s: Adding '%s' to black list",
               L"ProcessChecker::AddProcessToBlackList", path.c_str());
    std::wstring normalized;
    if (!GetNormalizedLowerCasePath(path, normalized)) return false;
    State().paths.insert(std::move(normalized));
    return true;
}

bool ProcessChecker::GetNormalizedLowerCasePath(const std::wstring& path,
                                                std::wstring& normalized) {
    static const wchar_t* const kPrefix = L"ProcessChecker::GetNormalizedLowerCasePath";
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to get full path size for '%s', error: %d",
                   kPrefix, path.c_str(), GetLastError());
        return false;
    }
    std::vector<WCHAR> buffer(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
    // A length not below the buffer's size is a larger need (the current directory changed
    // in between): nothing was written.
    if (length == 0 || length >= needed) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to get full path for '%s', error: %d",
                   kPrefix, path.c_str(), GetLastError());
        return false;
    }
    CharLowerW(buffer.data());
    normalized = buffer.data();
    return true;
}

bool ProcessChecker::ExtractServiceToCustomizedSet(const SERVICE_STATUS_PROCESS* status,
                                                   std::unordered_set<DWORD>& processIds) {
    LogMessage(CORE::SysMessageDebug, L"%s: Adding process %d to black list",
               L"ProcessChecker::ExtractServiceToCustomizedSet", status->dwProcessId);
    processIds.insert(status->dwProcessId);
    return true;
}

void ProcessChecker::ResetForTesting() {
    BlackListState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.paths.clear();
    state.built = false;
    CriticalProcessChecker::ResetForTesting();
}
