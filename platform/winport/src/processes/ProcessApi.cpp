// OpenProcess and the calls on process handles.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "InjectedFailure.h"
#include "Paths.h"
#include "ProcessObject.h"

namespace {

constexpr DWORD kQueryRights = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;

FILETIME ToFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

// The process behind a handle opened with one of `rights`; null with the last error set.
std::shared_ptr<winport::ProcessObject> ProcessWithRights(HANDLE handle, DWORD rights) {
    std::shared_ptr<winport::ProcessObject> process = winport::FindProcess(handle);
    if (process && !process->HasAnyRight(rights)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return process;
}

}  // namespace

extern "C" {

WINPORT_API HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    if (winport::InjectedFailure("OpenProcess")) return nullptr;
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<winport::ProcessObject> process =
        winport::ProcessObject::Open(processId, desiredAccess, error);
    if (!process) {
        SetLastError(error);
        return nullptr;
    }
    return winport::InsertHandle(std::move(process));
}

WINPORT_API HANDLE WINAPI GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

WINPORT_API DWORD WINAPI GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

WINPORT_API BOOL WINAPI GetProcessTimes(HANDLE handle, LPFILETIME creationTime, LPFILETIME exitTime,
                                        LPFILETIME kernelTime, LPFILETIME userTime) {
    if (winport::InjectedFailure("GetProcessTimes")) return FALSE;
    if (creationTime == nullptr || exitTime == nullptr || kernelTime == nullptr ||
        userTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<winport::ProcessObject> process = ProcessWithRights(handle, kQueryRights);
    if (!process) return FALSE;
    winport::procfs::StatFields stat = process->LatestStat();
    *creationTime = ToFileTime(process->CreationFileTime());
    // Linux keeps no exit time; an ended process reports the moment it was seen ended.
    FILETIME now{};
    if (process->HasEnded()) GetSystemTimeAsFileTime(&now);
    *exitTime = now;
    *kernelTime = ToFileTime(winport::procfs::TicksToHundredNs(stat.systemTicks));
    *userTime = ToFileTime(winport::procfs::TicksToHundredNs(stat.userTicks));
    return TRUE;
}

WINPORT_API BOOL WINAPI QueryFullProcessImageNameW(HANDLE handle, DWORD flags, LPWSTR exeName,
                                                   PDWORD size) {
    if (winport::InjectedFailure("QueryFullProcessImageNameW")) return FALSE;
    if (size == nullptr || (flags & ~static_cast<DWORD>(PROCESS_NAME_NATIVE)) != 0 ||
        (exeName == nullptr && *size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<winport::ProcessObject> process = ProcessWithRights(handle, kQueryRights);
    if (!process) return FALSE;
    if (!process->ExePath()) {
        // Kernel threads and ended processes have no executable left; an unreadable link is
        // one the caller may not see.
        SetLastError(process->ExeError() == ENOENT ? ERROR_GEN_FAILURE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::wstring path = winport::ToWindowsPath(*process->ExePath());
    if ((flags & PROCESS_NAME_NATIVE) != 0) path.insert(0, L"\\??\\");
    if (path.size() + 1 > *size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wmemcpy(exeName, path.c_str(), path.size() + 1);
    *size = static_cast<DWORD>(path.size());
    return TRUE;
}

WINPORT_API BOOL WINAPI TerminateProcess(HANDLE handle, UINT exitCode) {
    if (winport::InjectedFailure("TerminateProcess")) return FALSE;
    std::shared_ptr<winport::ProcessObject> process = ProcessWithRights(handle, PROCESS_TERMINATE);
    if (!process) return FALSE;
    if (process->IsSelf()) _exit(static_cast<int>(exitCode));
    // Through the pidfd: if the process has ended, the signal goes nowhere (ESRCH), even when
    // its id now belongs to another process.
    if (process->PidFd() < 0 ||
        syscall(SYS_pidfd_send_signal, process->PidFd(), SIGKILL, nullptr, 0u) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

WINPORT_API BOOL WINAPI IsProcessCritical(HANDLE handle, PBOOL critical) {
    if (winport::InjectedFailure("IsProcessCritical")) return FALSE;
    if (critical == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<winport::ProcessObject> process = ProcessWithRights(handle, kQueryRights);
    if (!process) return FALSE;
    // The init process of the pid namespace: when it ends, the namespace ends with it.
    *critical = process->Pid() == 1 ? TRUE : FALSE;
    return TRUE;
}

}  // extern "C"
