#include "ServiceTree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <windows.h>
#include <winport/testing.h>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <mutex>

#include "ProcFs.h"
#include "WideText.h"

namespace winport {
namespace {

constexpr std::string_view kServiceSuffix = ".service";
constexpr std::string_view kSliceSuffix = ".slice";
// Deep enough for any real slice nesting; stops a looping tree (bind mounts) all the same.
constexpr int kMaxDepth = 16;

std::mutex g_rootLock;
std::string g_rootOverride;

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Subdirectory names of a directory.
std::vector<std::string> Subdirectories(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return names;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN && IsDirectory(path + "/" + name))) {
            names.push_back(std::move(name));
        }
    }
    closedir(directory);
    return names;
}

void CollectUnits(const std::string& directory, int depth, std::vector<ServiceUnit>& units) {
    if (depth > kMaxDepth) return;
    for (const std::string& name : Subdirectories(directory)) {
        const std::string path = directory + "/" + name;
        if (EndsWith(name, kServiceSuffix)) {
            units.push_back({DecodeUtf8(name.substr(0, name.size() - kServiceSuffix.size())),
                             DecodeUtf8(name),
                             path,
                             {}});
        } else if (EndsWith(name, kSliceSuffix)) {
            CollectUnits(path, depth + 1, units);
        }
    }
}

// Every pid listed in cgroup.procs of `directory` and its descendants.
void CollectPids(const std::string& directory, int depth, std::vector<uint32_t>& pids) {
    if (depth > kMaxDepth) return;
    std::string text;
    if (procfs::ReadWholeFile((directory + "/cgroup.procs").c_str(), text)) {
        size_t position = 0;
        while (position < text.size()) {
            size_t end = text.find('\n', position);
            if (end == std::string::npos) end = text.size();
            uint32_t pid = 0;
            auto result = std::from_chars(text.data() + position, text.data() + end, pid);
            // Processes of other pid namespaces are listed as 0.
            if (result.ec == std::errc() && pid != 0) pids.push_back(pid);
            position = end + 1;
        }
    }
    for (const std::string& name : Subdirectories(directory)) {
        CollectPids(directory + "/" + name, depth + 1, pids);
    }
}

struct GroupProcess {
    uint32_t pid;
    uint32_t parent;
    uint64_t startTicks;
};

uint32_t GuessMainPid(const std::vector<uint32_t>& pids) {
    std::vector<GroupProcess> live;
    for (uint32_t pid : pids) {
        std::optional<procfs::StatFields> stat = procfs::ProcDir(static_cast<int>(pid)).Stat();
        if (stat) live.push_back({pid, static_cast<uint32_t>(stat->parentPid), stat->startTicks});
    }
    const GroupProcess* main = nullptr;
    for (const GroupProcess& process : live) {
        const bool forkedInGroup =
            std::any_of(live.begin(), live.end(),
                        [&](const GroupProcess& other) { return other.pid == process.parent; });
        if (forkedInGroup) continue;
        // Started in the same tick: the higher id came later.
        if (main == nullptr || process.startTicks > main->startTicks ||
            (process.startTicks == main->startTicks && process.pid > main->pid)) {
            main = &process;
        }
    }
    return main != nullptr ? main->pid : 0;
}

}  // namespace

std::optional<std::string> ServiceRoot() {
    {
        std::lock_guard<std::mutex> lock(g_rootLock);
        if (!g_rootOverride.empty()) {
            if (!IsDirectory(g_rootOverride)) return std::nullopt;
            return g_rootOverride;
        }
    }
    // The same test systemd uses to tell whether it is the service manager here.
    if (!IsDirectory("/run/systemd/system")) return std::nullopt;
    for (const char* candidate :
         {"/sys/fs/cgroup/system.slice", "/sys/fs/cgroup/unified/system.slice",
          "/sys/fs/cgroup/systemd/system.slice"}) {
        if (IsDirectory(candidate)) return std::string(candidate);
    }
    return std::nullopt;
}

bool ServiceRootChosenByTest() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return !g_rootOverride.empty();
}

std::vector<ServiceUnit> ListServiceUnits(const std::string& root) {
    std::vector<ServiceUnit> units;
    CollectUnits(root, 0, units);
    SortServiceUnits(units);
    return units;
}

void SortServiceUnits(std::vector<ServiceUnit>& units) {
    std::sort(units.begin(), units.end(), [](const ServiceUnit& a, const ServiceUnit& b) {
        return std::lexicographical_compare(
            a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
            [](wchar_t x, wchar_t y) { return std::towlower(x) < std::towlower(y); });
    });
}

uint32_t ServiceProcessId(const ServiceUnit& unit) {
    if (!IsDirectory(unit.cgroupPath)) return 0;
    std::vector<uint32_t> pids;
    CollectPids(unit.cgroupPath, 0, pids);
    return GuessMainPid(pids);
}

namespace testing {

void SetServiceRoot(const std::string& linuxPath) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_rootOverride = linuxPath;
}

}  // namespace testing
}  // namespace winport
