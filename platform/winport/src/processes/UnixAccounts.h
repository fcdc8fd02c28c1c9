// Unix accounts as Windows SIDs: S-1-22-1-<uid> for users, S-1-22-2-<gid> for groups.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winport {

// The bytes of the user SID of `uid`.
std::vector<BYTE> UnixUserSid(uint32_t uid);

struct UnixAccount {
    std::wstring name;
    SID_NAME_USE use = SidTypeUser;
};

// The account a SID names in the user and group databases; nullopt when none does (or the SID
// is not a Unix one). `sidSize` bounds what is read of the SID.
std::optional<UnixAccount> LookupUnixAccount(const BYTE* sid, size_t sidSize);

// This host's name, the domain of every Unix account.
std::wstring HostDomainName();

}  // namespace winport
