#include "CriticalProcessChecker.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "SystemFunction.h"
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

// Both are optional: a system without one has nothing critical or protected.
SystemFunction<IsProcessCriticalFunction> g_isProcessCritical(L"kernel32.dll", "IsProcessCritical");
SystemFunction<NtQueryInformationProcessFunction> g_queryInformationProcess(
    L"ntdll.dll", "NtQueryInformationProcess");

// How a lookup is told in the log.
struct LookupTexts {
    const wchar_t* prefix;
    const wchar_t* module;
    const wchar_t* function;
    CORE::SysMessageType absentLevel;
    const wchar_t* absent;
};

// True when the answer is final: found, or absent from this system (said once).
template <typename Function>
bool Load(SystemFunction<Function>& function, const LookupTexts& texts) {
    const auto found = function.Get();
    switch (found.lookup) {
        case SystemFunctionLookup::Found:
            return true;
        case SystemFunctionLookup::Absent:
            if (found.lookedUp)
                LogMessage(texts.absentLevel, L"%s: %s", texts.prefix, texts.absent);
            return true;
        case SystemFunctionLookup::ModuleMissing:
            LogMessage(CORE::SysMessageError, L"%s: Failed to load %s, error: %d", texts.prefix,
                       texts.module, found.error);
            return false;
        case SystemFunctionLookup::LookupFailed:
            break;
    }
    LogMessage(CORE::SysMessageError, L"%s: Failed to load %s, error: %d", texts.prefix,
               texts.function, found.error);
    return false;
}

}  // namespace

bool CriticalProcessChecker::LoadKernel32Function() {
    return Load(g_isProcessCritical,
                {L"CriticalProcessChecker::LoadKernel32Function", L"kernel32", L"IsProcessCritical",
                 CORE::SysMessageDebug, L"IsProcessCritical does not exist on system"});
}

bool CriticalProcessChecker::LoadNtdllFunction() {
    return Load(g_queryInformationProcess, {L"CriticalProcessChecker::LoadNtdllFunction", L"Ntdll",
                                            L"NtQueryInformationProcess", CORE::SysMessageInfo,
                                            L"NtQueryInformationProcess not exist on system"});
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
