#include "ProcessUserName.h"

#include <vector>

#include "LogMessage.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kAccountNameLength = 256;

// The token user's SID, read into `buffer` with the size query Windows expects.
PSID ReadTokenUser(HANDLE token, std::vector<BYTE>& buffer) {
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenUser, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogMessage(CORE::SysMessageError, L"Could not get Token info size, error is 0x%x",
                   GetLastError());
        return nullptr;
    }
    buffer.assign(needed, 0);
    if (needed < sizeof(TOKEN_USER) ||
        !GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) {
        LogMessage(CORE::SysMessageError, L"Could not get token info, error 0x%x", GetLastError());
        return nullptr;
    }
    return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

}  // namespace

bool GetProcessUserName(uint32_t processId, std::wstring& userName, std::wstring& domainName) {
    UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) {
        // Other accounts' processes are closed to us by design: nothing worth a line.
        if (GetLastError() != ERROR_ACCESS_DENIED) {
            LogMessage(CORE::SysMessageError, L"Could not open process, error 0x%x",
                       GetLastError());
        }
        return false;
    }
    UniqueKernelHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) {
        LogMessage(CORE::SysMessageError, L"Could not open token, error 0x%x", GetLastError());
        return false;
    }
    std::vector<BYTE> tokenUser;
    PSID sid = ReadTokenUser(token.get(), tokenUser);
    if (sid == nullptr) return false;
    WCHAR name[kAccountNameLength] = {};
    WCHAR domain[kAccountNameLength] = {};
    DWORD nameLength = kAccountNameLength;
    DWORD domainLength = kAccountNameLength;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        LogMessage(CORE::SysMessageError, L"Get user name failed, error code: 0x%x",
                   GetLastError());
        return false;
    }
    userName = name;
    domainName = domain;
    return true;
}
