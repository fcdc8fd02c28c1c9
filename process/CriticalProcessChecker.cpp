#include "process/CriticalProcessChecker.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "platform/handles/SystemFunction.h"
#include "plugin/LogMessage.h"

namespace {

using IsProcessCriticalFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using NtQueryInformationProcessFunction = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kProcessBasicInformation = 0;
// PROCESS_EXTENDED_BASIC_INFORMATION (x64): Size at 0, Flags at 56, 64 bytes in all.
constexpr size_t kExtendedInformationSize = 64;
constexpr size_t kExtendedFlagsOffset = 56;
constexpr ULONG kIsProtectedProcess = 1u << 0;
constexpr ULONG kIsSecureProcess = 1u << 7;

// Both are optional: a system without one has nothing critical or protected.
SystemFunction<IsProcessCriticalFunction> g_isProcessCritical(L"kernel32.dll", "IsProcessCritical");
SystemFunction<NtQueryInformationProcessFunction> g_queryInformationProcess(
    L"ntdll.dll", "NtQueryInformationProcess");

}  // namespace

bool CriticalProcessChecker::LoadKernel32Function() {
    static const wchar_t* const kPrefix = L"CriticalProcessChecker::LoadKernel32Function";
    const auto found = g_isProcessCritical.Get();
    switch (found.lookup) {
        case SystemFunctionLookup::Found:
            return true;
        case SystemFunctionLookup::Absent:
            if (found.lookedUp) {
                LogMessage(CORE::SysMessageDebug, L"%s: IsProcessCritical does not exist on system",
                           kPrefix);
            }
            return true;
        case SystemFunctionLookup::ModuleMissing:
            LogMessage(CORE::SysMessageError, L"%s: Failed to load kernel32, error: %d", kPrefix,
                       found.error);
            return false;
        case SystemFunctionLookup::LookupFailed:
            break;
    }
    LogMessage(CORE::SysMessageError, L"%s: Failed to load IsProcessCritical, error: %d", kPrefix,
               found.error);
    return false;
}

bool CriticalProcessChecker::LoadNtdllFunction() {
    static const wchar_t* const kPrefix = L"CriticalProcessChecker::LoadNtdllFunction";
    const auto found = g_queryInformationProcess.Get();
    switch (found.lookup) {
        case SystemFunctionLookup::Found:
            return true;
        case SystemFunctionLookup::Absent:
            if (found.lookedUp) {
                LogMessage(CORE::SysMessageInfo,
                           L"%s: NtQueryInformationProcess not exist on system", kPrefix);
            }
            return true;
        case SystemFunctionLookup::ModuleMissing:
            LogMessage(CORE::SysMessageError, L"%s: Failed to load Ntdll, error: %d", kPrefix,
                       found.error);
            return false;
        case SystemFunctionLookup::LookupFailed:
            break;
    }
    LogMessage(CORE::SysMessageError, L"%s: Failed to load NtQueryInformationProcess, error: %d",
               kPrefix, found.error);
    return false;
}

bool CriticalProcessChecker::IsProcessCritical(HANDLE process, bool& critical) {
    if (!LoadKernel32Function()) return false;
    const IsProcessCriticalFunction isProcessCritical = g_isProcessCritical.Find();
    if (isProcessCritical == nullptr) {
        critical = false;
        return true;
    }
    BOOL value = FALSE;
    if (!isProcessCritical(process, &value)) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to call IsProcessCritical, error: %d",
                   L"CriticalProcessChecker::IsProcessCritical", GetLastError());
        return false;
    }
    critical = value != FALSE;
    return true;
}

bool CriticalProcessChecker::IsProcessProtected(HANDLE process, bool& isProtected) {
    if (!LoadNtdllFunction()) return false;
    const NtQueryInformationProcessFunction queryInformationProcess =
        g_queryInformationProcess.Find();
    if (queryInformationProcess == nullptr) {
        isProtected = false;
        return true;
    }
    alignas(8) unsigned char information[kExtendedInformationSize] = {};
    const SIZE_T size = kExtendedInformationSize;
    std::memcpy(information, &size, sizeof size);
    const NTSTATUS status = queryInformationProcess(process, kProcessBasicInformation, information,
                                                    kExtendedInformationSize, nullptr);
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
    g_isProcessCritical.Forget();
    g_queryInformationProcess.Forget();
}
