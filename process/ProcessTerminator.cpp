#include "ProcessTerminator.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "LogMessage.h"
#include "UniqueHandle.h"
#include "ProcessArithmetic.h"
#include "ProcessChecker.h"

namespace {

const wchar_t* const kPrefix = L"ProcessTerminator::EndProcess";

struct EndProcessRequest {
    DWORD processId = 0;
    int64_t createTime = 0;  // seconds since 1970
    std::wstring processName;
};

EndProcessRequest ReadRequest(const CORE::PropertyBag& request) {
    EndProcessRequest read;
    read.processId = static_cast<DWORD>(request.getInt64(L"processId", 0));
    read.createTime = request.getInt64(L"createTime", 0);
    read.processName = request.get(L"processName", L"");
    return read;
}

// Creation time in seconds since 1970; -1 (logged) when it cannot be read.
int64_t CreationSeconds(HANDLE process) {
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        LogMessage(CORE::SysMessageError, L"Failed to get process times, error is 0x%x",
                   GetLastError());
        return -1;
    }
    return CreationTimeToUnixSeconds(static_cast<int64_t>(
        (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime));
}

// The full image path, and the file name cut from it at the last backslash.
bool ReadImage(HANDLE process, std::wstring& path, std::wstring& name) {
    WCHAR buffer[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) {
        LogMessage(CORE::SysMessageError, L"Failed to get process image name, error is 0x%x",
                   GetLastError());
        return false;
    }
    path.assign(buffer, size);
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        LogMessage(CORE::SysMessageError, L"Can't get process image name from process path");
        LogMessage(CORE::SysMessageError, L"failed to get process path.");
        return false;
    }
    name = path.substr(slash + 1);
    return true;
}

bool Terminate(const std::wstring& path, DWORD processId) {
    UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) {
        LogMessage(CORE::SysMessageError,
                   L"%s: Failed to open process '%s' for termination, error code: %d", kPrefix,
                   path.c_str(), GetLastError());
        return false;
    }
    if (!TerminateProcess(process.get(), 0)) {
        LogMessage(CORE::SysMessageError,
                   L"%s: Error occurs when terminate process (id: %d), error code: %d", kPrefix,
                   processId, GetLastError());
        return false;
    }
    return true;
}

}  // namespace

bool ProcessTerminator::EndProcess(const CORE::PropertyBag& request, CORE::PropertyBag& reply) {
    const EndProcessRequest wanted = ReadRequest(request);
    UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, wanted.processId));
    if (!process) {
        LogMessage(CORE::SysMessageError,
                   L"%s: Error occurs when terminate a process (id: %d), error code: %d", kPrefix,
                   wanted.processId, GetLastError());
        return false;
    }
    // Only the low 32 bits of the requested time count, read as unsigned.
    if (CreationSeconds(process.get()) !=
        static_cast<int64_t>(static_cast<uint32_t>(wanted.createTime))) {
        LogMessage(CORE::SysMessageError, L"creation time not matched.");
        return false;
    }
    std::wstring path;
    std::wstring name;
    if (!ReadImage(process.get(), path, name)) return false;
    if (wanted.processName != name) {
        LogMessage(CORE::SysMessageError, L"%s: Process name not matched.", kPrefix);
        return false;
    }
    if (ProcessChecker::IsProcessInBlackList(path, process.get(), wanted.processId)) {
        LogMessage(CORE::SysMessageError,
                   L"%s: Process '%s(%d)' is in black list; not allowed to terminate it.", kPrefix,
                   path.c_str(), wanted.processId);
        process.reset();
        reply.setError(L"not allowed");
        return false;
    }
    return Terminate(path, wanted.processId);
}
