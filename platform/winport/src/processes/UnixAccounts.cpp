#include "UnixAccounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <type_traits>

#include "WideText.h"

namespace winport {
namespace {

constexpr BYTE kUnixAuthority = 22;
constexpr DWORD kUnixUsers = 1;
constexpr DWORD kUnixGroups = 2;
constexpr size_t kSidHeaderSize = 8;

// getpwuid_r / getgrgid_r with a buffer grown until the entry fits.
template <typename Entry, typename Lookup>
std::optional<std::string> EntryName(uint32_t id, Lookup lookup) {
    std::vector<char> buffer(1024);
    while (buffer.size() <= (1u << 20)) {
        Entry entry{};
        Entry* found = nullptr;
        int result = lookup(id, &entry, buffer.data(), buffer.size(), &found);
        if (result == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result != 0 || found == nullptr) return std::nullopt;
        if constexpr (std::is_same_v<Entry, passwd>) {
            return std::string(found->pw_name);
        } else {
            return std::string(found->gr_name);
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<BYTE> UnixUserSid(uint32_t uid) {
    std::vector<BYTE> sid(kSidHeaderSize + 2 * sizeof(DWORD), 0);
    sid[0] = SID_REVISION;
    sid[1] = 2;
    sid[7] = kUnixAuthority;  // the 48-bit authority is big-endian
    const DWORD subAuthorities[2] = {kUnixUsers, uid};
    std::memcpy(sid.data() + kSidHeaderSize, subAuthorities, sizeof subAuthorities);
    return sid;
}

std::optional<UnixAccount> LookupUnixAccount(const BYTE* sid, size_t sidSize) {
    if (sid == nullptr || sidSize < kSidHeaderSize + 2 * sizeof(DWORD)) return std::nullopt;
    const BYTE authority[6] = {0, 0, 0, 0, 0, kUnixAuthority};
    if (sid[0] != SID_REVISION || sid[1] != 2 || std::memcmp(sid + 2, authority, 6) != 0) {
        return std::nullopt;
    }
    DWORD subAuthorities[2];
    std::memcpy(subAuthorities, sid + kSidHeaderSize, sizeof subAuthorities);
    std::optional<std::string> name;
    UnixAccount account;
    if (subAuthorities[0] == kUnixUsers) {
        name = EntryName<passwd>(subAuthorities[1], getpwuid_r);
        account.use = SidTypeUser;
    } else if (subAuthorities[0] == kUnixGroups) {
        name = EntryName<group>(subAuthorities[1], getgrgid_r);
        account.use = SidTypeGroup;
    }
    if (!name) return std::nullopt;
    account.name = DecodeUtf8(*name);
    return account;
}

std::wstring HostDomainName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) return L"localhost";
    return DecodeUtf8(host);
}

}  // namespace winport
