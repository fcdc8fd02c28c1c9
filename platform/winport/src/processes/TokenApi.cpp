// Access tokens and account lookup.
#include <cstring>
#include <cwctype>

#include "InjectedFailure.h"
#include "ProcessObject.h"
#include "UnixAccounts.h"

namespace {

// A process's access token: the account its process ran as when the token was opened.
class TokenObject : public winport::HandleObject {
  public:
    TokenObject(uint32_t uid, DWORD access) : m_uid(uid), m_access(access) {}
    uint32_t Uid() const { return m_uid; }
    bool HasRights(DWORD rights) const { return (m_access & rights) == rights; }

  private:
    uint32_t m_uid;
    DWORD m_access;
};

// The local machine: no name, an empty one, or this host's name (with or without "\\").
bool IsLocalSystemName(LPCWSTR systemName) {
    if (systemName == nullptr || systemName[0] == L'\0') return true;
    std::wstring name(systemName);
    if (name.rfind(L"\\\\", 0) == 0) name.erase(0, 2);
    std::wstring host = winport::HostDomainName();
    if (name.size() != host.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::towlower(name[i]) != std::towlower(host[i])) return false;
    }
    return true;
}

void CopyName(const std::wstring& name, LPWSTR target) {
    std::wmemcpy(target, name.c_str(), name.size() + 1);
}

}  // namespace

extern "C" {

WINPORT_API BOOL WINAPI OpenProcessToken(HANDLE processHandle, DWORD desiredAccess, PHANDLE token) {
    if (winport::InjectedFailure("OpenProcessToken")) return FALSE;
    if (token == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<winport::ProcessObject> process = winport::FindProcess(processHandle);
    if (!process) return FALSE;
    // The token of another account's process is closed to whoever may not inspect it.
    if (!process->HasAnyRight(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION) ||
        !process->CallerMayInspect()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *token = winport::InsertHandle(
        std::make_shared<TokenObject>(process->EffectiveUid(), desiredAccess));
    return TRUE;
}

WINPORT_API BOOL WINAPI GetTokenInformation(HANDLE tokenHandle,
                                            TOKEN_INFORMATION_CLASS informationClass,
                                            LPVOID information, DWORD length, PDWORD returnLength) {
    if (winport::InjectedFailure("GetTokenInformation")) return FALSE;
    std::shared_ptr<TokenObject> token = winport::FindHandleOf<TokenObject>(tokenHandle);
    if (!token) return FALSE;
    if (informationClass != TokenUser || returnLength == nullptr) {
        SetLastError(informationClass != TokenUser ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!token->HasRights(TOKEN_QUERY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // TOKEN_USER followed by the SID it points at, in the caller's buffer.
    std::vector<BYTE> sid = winport::UnixUserSid(token->Uid());
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    *returnLength = needed;
    if (information == nullptr || length < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* bytes = static_cast<BYTE*>(information);
    std::memcpy(bytes + sizeof(TOKEN_USER), sid.data(), sid.size());
    TOKEN_USER user{};
    user.User.Sid = bytes + sizeof(TOKEN_USER);
    user.User.Attributes = 0;
    std::memcpy(bytes, &user, sizeof user);
    return TRUE;
}

WINPORT_API BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name,
                                          LPDWORD nameSize, LPWSTR domainName,
                                          LPDWORD domainNameSize, PSID_NAME_USE use) {
    if (winport::InjectedFailure("LookupAccountSidW")) return FALSE;
    if (sid == nullptr || nameSize == nullptr || domainNameSize == nullptr || use == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsLocalSystemName(systemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    const BYTE* sidBytes = static_cast<const BYTE*>(sid);
    if (sidBytes[0] != SID_REVISION || sidBytes[1] > SID_MAX_SUB_AUTHORITIES) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    const size_t sidSize = 8 + 4 * static_cast<size_t>(sidBytes[1]);
    std::optional<winport::UnixAccount> account = winport::LookupUnixAccount(sidBytes, sidSize);
    if (!account) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const std::wstring domain = winport::HostDomainName();
    const DWORD nameNeeded = static_cast<DWORD>(account->name.size() + 1);
    const DWORD domainNeeded = static_cast<DWORD>(domain.size() + 1);
    if (*nameSize < nameNeeded || *domainNameSize < domainNeeded || name == nullptr ||
        domainName == nullptr) {
        *nameSize = nameNeeded;
        *domainNameSize = domainNeeded;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyName(account->name, name);
    CopyName(domain, domainName);
    *nameSize = nameNeeded - 1;
    *domainNameSize = domainNeeded - 1;
    *use = account->use;
    return TRUE;
}

}  // extern "C"
