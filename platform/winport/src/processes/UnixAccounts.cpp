#include "UnixAccounts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
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

// The signature of the user and group database files: any edit of them changes it.
struct DatabaseStamp {
    struct timespec passwdChange {};
    struct timespec groupChange {};
    ino_t passwdInode = 0;
    ino_t groupInode = 0;
    off_t passwdSize = 0;
    off_t groupSize = 0;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const DatabaseStamp& a, const DatabaseStamp& b) {
    return SameTime(a.passwdChange, b.passwdChange) && SameTime(a.groupChange, b.groupChange) &&
           a.passwdInode == b.passwdInode && a.groupInode == b.groupInode &&
           a.passwdSize == b.passwdSize && a.groupSize == b.groupSize;
}

DatabaseStamp ReadDatabaseStamp() {
    DatabaseStamp stamp;
    struct stat info {};
    if (stat("/etc/passwd", &info) == 0) {
        stamp.passwdChange = info.st_mtim;
        stamp.passwdInode = info.st_ino;
        stamp.passwdSize = info.st_size;
    }
    if (stat("/etc/group", &info) == 0) {
        stamp.groupChange = info.st_mtim;
        stamp.groupInode = info.st_ino;
        stamp.groupSize = info.st_size;
    }
    return stamp;
}

// Names by id, as the system's own account lookups cache them: a sampling that names the user of
// every process asks for the same few accounts thousands of times a second, and each question to
// the name service reads the database files (and tries a caching daemon first). Everything is
// dropped when the database files change, which is looked at once a second at most.
class AccountCache {
  public:
    template <typename Lookup>
    std::optional<std::string> Name(DWORD kind, uint32_t id, Lookup lookup) {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            DropChangedLocked();
            const auto found = m_names.find({kind, id});
            if (found != m_names.end()) return found->second;
        }
        std::optional<std::string> name = lookup();  // outside the lock: it may take long
        const std::lock_guard<std::mutex> lock(m_lock);
        // Ids without an account are kept too; the bound only guards against a flood of them.
        if (m_names.size() >= kMaxNames) m_names.clear();
        m_names.emplace(std::make_pair(kind, id), name);
        return name;
    }

  private:
    static constexpr size_t kMaxNames = 4096;
    static constexpr std::chrono::seconds kStampCheckInterval{1};

    void DropChangedLocked() {
        const auto now = std::chrono::steady_clock::now();
        if (m_checked && now - m_lastCheck < kStampCheckInterval) return;
        m_checked = true;
        m_lastCheck = now;
        const DatabaseStamp stamp = ReadDatabaseStamp();
        if (stamp == m_stamp) return;
        m_names.clear();
        m_stamp = stamp;
    }

    std::mutex m_lock;
    bool m_checked = false;
    std::chrono::steady_clock::time_point m_lastCheck;
    DatabaseStamp m_stamp;
    std::map<std::pair<DWORD, uint32_t>, std::optional<std::string>> m_names;
};

AccountCache& Accounts() {
    static AccountCache cache;
    return cache;
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
    const uint32_t id = subAuthorities[1];
    if (subAuthorities[0] == kUnixUsers) {
        name = Accounts().Name(kUnixUsers, id, [id] { return EntryName<passwd>(id, getpwuid_r); });
        account.use = SidTypeUser;
    } else if (subAuthorities[0] == kUnixGroups) {
        name = Accounts().Name(kUnixGroups, id, [id] { return EntryName<group>(id, getgrgid_r); });
        account.use = SidTypeGroup;
    }
    if (!name) return std::nullopt;
    account.name = DecodeUtf8(*name);
    return account;
}

// Read again once a second at most: every account lookup names it.
std::wstring HostDomainName() {
    static std::mutex lock;
    static std::wstring name;
    static std::chrono::steady_clock::time_point readAt;
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> guard(lock);
    if (name.empty() || now - readAt >= std::chrono::seconds(1)) {
        char host[HOST_NAME_MAX + 1] = {};
        name = gethostname(host, sizeof host - 1) == 0 ? DecodeUtf8(host) : L"localhost";
        readAt = now;
    }
    return name;
}

}  // namespace winport
