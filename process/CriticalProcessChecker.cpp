#include "CriticalProcessChecker.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "LogMessage.h"

namespace {

using IsProcessCriticalFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using NtQueryInformationProcessFunction = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kProcessBasicInformation = 0;
// PROCESS_EXTENDED_BASIC_INFORMATION (x64): Size at 0, Flags at 56, 64 bytes in all.
constexpr size_t kExtendedInformationSize = 64;
constexpr size_t kExtendedFlagsOffset = 56;
constexpr ULONG kIsProtectedProcess = 1u << 0;
constexpr ULONG kIsSecureProcess = 1u << 7;

// Guarded by ProcessChecker's lock, like every decision.
struct FunctionCache {
    HMODULE kernel32 = nullptr;
    IsProcessCriticalFunction isProcessCritical = nullptr;
    bool kernel32LookedUp = false;
    HMODULE ntdll = nullptr;
    NtQueryInformationProcessFunction queryInformationProcess = nullptr;
    bool ntdllLookedUp = false;
};

FunctionCache& Cache() {
    static FunctionCache cache;
    return cache;
}

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool CriticalProcessChecker::LoadKernel32Function() {
    static const wchar_t* const kPrefix = L"CriticalProcessChecker::LoadKernel32Function";
    FunctionCache& cache = Cache();
    if (cache.kernel32 == nullptr) {
        cache.kernel32 = GetModuleHandleW(L"kernel32.dll");
        if (cache.kernel32 == nullptr) {
            LogMessage(CORE::SysMessageError, L"%s: Failed to load kernel32, error: %d", kPrefix,
                       GetLastError());
            return false;
        }
    }
    cache.isProcessCritical =
        Lookup<IsProcessCriticalFunction>(cache.kernel32, "IsProcessCritical");
    if (cache.isProcessCritical == nullptr) {
        const DWORD error = GetLastError();
        if (error != ERROR_PROC_NOT_FOUND) {
            LogMessage(CORE::SysMessageError, L"%s: Failed to load IsProcessCritical, error: %d",
                       kPrefix, error);
            return false;
        }
        LogMessage(CORE::SysMessageDebug, L"%s: IsProcessCritical does not exist on system",
                   kPrefix);
    }
    cache.kernel32LookedUp = true;
    return true;
}

bool CriticalProcessChecker::LoadNtdllFunction() {
    static const wchar_t* const kPrefix = L"CriticalProcessChecker::LoadNtdllFunction";
    FunctionCache& cache = Cache();
    if (cache.ntdll == nullptr) {
        cache.ntdll = GetModuleHandleW(L"ntdll.dll");
        if (cache.ntdll == nullptr) {
            LogMessage(CORE::SysMessageError, L"%s: Failed to load Ntdll, error: %d", kPrefix,
                       GetLastError());
            return false;
        }
    }
    cache.queryInformationProcess =
        Lookup<NtQueryInformationProcessFunction>(cache.ntdll, "NtQueryInformationProcess");
    if (cache.queryInformationProcess == nullptr) {
        const DWORD error = GetLastError();
        if (error != ERROR_PROC_NOT_FOUND) {
            LogMessage(CORE::SysMessageError,
                       L"%s: Failed to load NtQueryInformationProcess, error: %d", kPrefix, error);
            return false;
        }
        LogMessage(CORE::SysMessageInfo, L"%s: NtQueryInformationProcess not exist on system",
                   kPrefix);
    }
    cache.ntdllLookedUp = true;
    return true;
}

bool CriticalProcessChecker::IsProcessCritical(HANDLE process, bool& critical) {
    FunctionCache& cache = Cache();
    if (!cache.kernel32LookedUp && !LoadKernel32Function()) return false;
    if (cache.isProcessCritical == nullptr) {
        critical = false;
        return true;
    }
    BOOL value = FALSE;
    if (!cache.isProcessCritical(process, &value)) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to call IsProcessCritical, error: %d",
                   L"CriticalProcessChecker::IsProcessCritical", GetLastError());
        return false;
    }
    critical = value != FALSE;
    return true;
}

bool CriticalProcessChecker::IsProcessProtected(HANDLE process, bool& isProtected) {
    FunctionCache& cache = Cache();
    if (!cache.ntdllLookedUp && !LoadNtdllFunction()) return false;
    if (cache.queryInformationProcess == nullptr) {
        isProtected = false;
        return true;
    }
    alignas(8) unsigned char information[kExtendedInformationSize] = {};
    const SIZE_T size = kExtendedInformationSize;
    std::memcpy(information, &size, sizeof size);
    const NTSTATUS status = cache.queryInformationProcess(
        process, kProcessBasicInformation, information, kExtendedInformationSize, nullptr);
    if (status != 0) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to query extended process info, error: %d",
                   L"CriticalProcessChecker::IsProcessProtected", GetLastError());
        return false;
    }
    ULONG flags = 0;
    std::memcpy(&flags, information + kExtendedFlagsOffset, sizeof flags);
    isProtected = (flags & (kIsProtectedProcess | kIsSecureProcess)) != 0;
    return true;
}

void CriticalProcessChecker::ResetForTesting() {
    Cache() = FunctionCache();
}
