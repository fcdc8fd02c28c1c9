// Tokens and accounts. A token carries the effective uid of its process; its user SID is
// S-1-22-1-<uid>, which LookupAccountSidW maps to the account name of the user database, with
// the host name as the domain.
#pragma once

#include "windef.h"
#include "winnt.h"

extern "C" {

// TokenUser only. Size protocol as on Windows: *returnLength always receives the size needed;
// a buffer smaller than that fails with ERROR_INSUFFICIENT_BUFFER.
WINPORT_API BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                            LPVOID information, DWORD length, PDWORD returnLength);

// The local machine only (systemName null, empty or this host's name). Sizes in characters:
// when either name and its NUL do not fit, both sizes receive the needed counts (NUL included)
// and the call fails with ERROR_INSUFFICIENT_BUFFER; on success they receive the lengths
// without the NUL. A SID with no account fails with ERROR_NONE_MAPPED.
WINPORT_API BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name,
                                          LPDWORD nameSize, LPWSTR domainName,
                                          LPDWORD domainNameSize, PSID_NAME_USE use);

}  // extern "C"
