#include "ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "ProcText.h"
#include "UniqueFd.h"

namespace winport::procfs {
namespace {

using proctext::ForEachLine;
using proctext::NextWord;
using proctext::ParseNumber;
using proctext::Words;

constexpr std::string_view kDeletedMark = " (deleted)";
constexpr uint32_t kNoLoginSession = 4294967295u;
constexpr uint64_t kFileTimeOfUnixEpoch = 116444736000000000ull;
constexpr uint64_t kHundredNsPerSecond = 10000000ull;

// Calls `visit(key, rest)` for every "Key: rest" line.
template <typename Visit>
void ForEachKeyedLine(std::string_view text, Visit visit) {
    ForEachLine(text, [&](std::string_view line) {
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) visit(line.substr(0, colon), line.substr(colon + 1));
    });
}

bool ParseKilobytes(std::string_view rest, uint64_t& value) {
    return ParseNumber(NextWord(rest), value);
}

// The whole file. A process's small files (stat, status, io) are made in one piece, so a read
// that returns less than it asked for has reached their end; `shortReadEnds` saves the read that
// would return nothing, once per file and process at every snapshot.
bool ReadAll(int fd, std::string& text, bool shortReadEnds = false) {
    text.clear();
    char chunk[4096];
    while (true) {
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (count == 0) return true;
        text.append(chunk, static_cast<size_t>(count));
        if (shortReadEnds && static_cast<size_t>(count) < sizeof chunk) return true;
    }
}

// The file `path` relative to the directory `directory`; false with errno set when it cannot be
// read.
bool ReadFileAt(int directory, const char* path, std::string& text, bool shortReadEnds = false) {
    UniqueFd fd(openat(directory, path, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    const bool ok = ReadAll(fd.get(), text, shortReadEnds);
    const int savedErrno = errno;  // the caller reads the reason of a failed read
    fd.reset();
    errno = savedErrno;
    return ok;
}

DirectoryStamp StampOf(const struct stat& info) {
    return DirectoryStamp{static_cast<uint64_t>(info.st_ino), info.st_ctim.tv_sec,
                          info.st_ctim.tv_nsec};
}

uint64_t ClockTicksPerSecond() {
    static const uint64_t ticks = [] {
        long value = sysconf(_SC_CLK_TCK);
        return value > 0 ? static_cast<uint64_t>(value) : 100u;
    }();
    return ticks;
}

uint64_t BootFileTime() {
    static const uint64_t bootTime = [] {
        std::string text;
        uint64_t seconds = 0;
        if (ReadWholeFile("/proc/stat", text)) seconds = ParseBootTime(text).value_or(0);
        return kFileTimeOfUnixEpoch + seconds * kHundredNsPerSecond;
    }();
    return bootTime;
}

}  // namespace

std::string ExecutableFileName(const StatFields& stat, std::string_view commandLine) {
    if ((stat.flags & kKernelThreadFlag) != 0 || stat.comm.size() < kCommandNameBytes) {
        return stat.comm;
    }
    std::string_view program = commandLine.substr(0, commandLine.find('\0'));
    const size_t slash = program.rfind('/');
    if (slash != std::string_view::npos) program.remove_prefix(slash + 1);
    if (program.size() > stat.comm.size() && program.starts_with(stat.comm)) {
        return std::string(program);
    }
    return stat.comm;
}

std::optional<StatFields> ParseStat(std::string_view text) {
    // The command name sits in parentheses and may itself hold spaces and parentheses: it ends
    // at the last ')'.
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    // The 22 fields after the name that are read, up to the resident size; no allocation, as this
    // runs for every process at every snapshot.
    std::array<std::string_view, 22> fields;
    std::string_view rest = text.substr(close + 1);
    for (std::string_view& field : fields) {
        field = NextWord(rest);
        if (field.empty()) return std::nullopt;
    }
    if (fields[0].size() != 1) return std::nullopt;
    StatFields stat;
    stat.comm = std::string(text.substr(open + 1, close - open - 1));
    stat.state = fields[0][0];
    bool ok = ParseNumber(fields[1], stat.parentPid) && ParseNumber(fields[6], stat.flags) &&
              ParseNumber(fields[7], stat.minorFaults) &&
              ParseNumber(fields[9], stat.majorFaults) && ParseNumber(fields[11], stat.userTicks) &&
              ParseNumber(fields[12], stat.systemTicks) && ParseNumber(fields[15], stat.priority) &&
              ParseNumber(fields[16], stat.nice) && ParseNumber(fields[17], stat.threads) &&
              ParseNumber(fields[19], stat.startTicks) &&
              ParseNumber(fields[20], stat.virtualBytes);
    int64_t resident = 0;
    ok = ok && ParseNumber(fields[21], resident);
    if (!ok) return std::nullopt;
    stat.residentPages = resident > 0 ? static_cast<uint64_t>(resident) : 0;
    return stat;
}

std::optional<StatusFields> ParseStatus(std::string_view text) {
    StatusFields status;
    bool ok = true;
    ForEachKeyedLine(text, [&](std::string_view key, std::string_view rest) {
        if (key == "RssAnon") {
            ok = ok && ParseKilobytes(rest, status.anonymousKb);
        } else if (key == "VmSwap") {
            ok = ok && ParseKilobytes(rest, status.swapKb);
        } else if (key == "VmPeak") {
            ok = ok && ParseKilobytes(rest, status.peakVirtualKb);
        } else if (key == "VmHWM") {
            ok = ok && ParseKilobytes(rest, status.peakResidentKb);
        } else if (key == "Tgid") {
            ok = ok && ParseNumber(NextWord(rest), status.threadGroupId);
        } else if (key == "Uid") {
            NextWord(rest);  // the real uid
            status.hasUid = ParseNumber(NextWord(rest), status.effectiveUid);
            ok = ok && status.hasUid;
        }
    });
    if (!ok || !status.hasUid) return std::nullopt;
    return status;
}

std::optional<IoFields> ParseIo(std::string_view text) {
    IoFields io;
    bool haveRead = false;
    bool haveWrite = false;
    ForEachKeyedLine(text, [&](std::string_view key, std::string_view rest) {
        if (key == "rchar") haveRead = ParseNumber(NextWord(rest), io.readBytes);
        if (key == "wchar") haveWrite = ParseNumber(NextWord(rest), io.writeBytes);
    });
    if (!haveRead || !haveWrite) return std::nullopt;
    return io;
}

std::vector<CpuTicks> ParsePerCpuTicks(std::string_view procStat) {
    std::vector<CpuTicks> cpus;
    ForEachLine(procStat, [&](std::string_view line) {
        // "cpuN ..." lines only; "cpu " is the machine's sum.
        if (line.size() < 4 || line.substr(0, 3) != "cpu" || line[3] < '0' || line[3] > '9') {
            return;
        }
        std::vector<std::string_view> words = Words(line);
        if (words.size() < 9) return;
        CpuTicks ticks;
        uint64_t* targets[] = {&ticks.user,   &ticks.nice, &ticks.system,  &ticks.idle,
                               &ticks.iowait, &ticks.irq,  &ticks.softirq, &ticks.steal};
        bool ok = true;
        for (size_t i = 0; i < 8; ++i) ok = ok && ParseNumber(words[i + 1], *targets[i]);
        if (ok) cpus.push_back(ticks);
    });
    return cpus;
}

uint64_t ParseReclaimedPages(std::string_view vmstat) {
    uint64_t pages = 0;
    ForEachLine(vmstat, [&](std::string_view line) {
        std::string_view rest = line;
        const std::string_view key = NextWord(rest);
        uint64_t count = 0;
        if ((key.starts_with("pgsteal_") || key.starts_with("pgdemote_") || key == "pswpout") &&
            ParseNumber(NextWord(rest), count)) {
            pages += count;
        }
    });
    return pages;
}

std::optional<uint64_t> ParseBootTime(std::string_view procStat) {
    std::optional<uint64_t> bootTime;
    ForEachLine(procStat, [&](std::string_view line) {
        const std::vector<std::string_view> words = Words(line);
        uint64_t seconds = 0;
        if (words.size() == 2 && words[0] == "btime" && ParseNumber(words[1], seconds)) {
            bootTime = seconds;
        }
    });
    return bootTime;
}

ProcDir::ProcDir(int pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", pid);
    m_fd.reset(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool ProcDir::ReadFile(const char* name, std::string& text) const {
    if (!m_fd) {
        errno = ENOENT;
        return false;
    }
    return ReadFileAt(m_fd.get(), name, text);
}

bool ProcDir::ReadLink(const char* name, std::string& target) const {
    if (!m_fd) {
        errno = ENOENT;
        return false;
    }
    std::string buffer(256, '\0');
    while (true) {
        ssize_t length = readlinkat(m_fd.get(), name, buffer.data(), buffer.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (buffer.size() > kDeletedMark.size() &&
        std::string_view(buffer).substr(buffer.size() - kDeletedMark.size()) == kDeletedMark) {
        buffer.resize(buffer.size() - kDeletedMark.size());
    }
    target = std::move(buffer);
    return true;
}

std::optional<StatFields> ProcDir::Stat() const {
    std::string text;
    if (!ReadFile("stat", text)) return std::nullopt;
    return ParseStat(text);
}

std::optional<StatusFields> ProcDir::Status() const {
    std::string text;
    if (!ReadFile("status", text)) return std::nullopt;
    return ParseStatus(text);
}

std::optional<IoFields> ProcDir::Io() const {
    std::string text;
    if (!ReadFile("io", text)) return std::nullopt;
    return ParseIo(text);
}

uint32_t ProcDir::LoginSession() const {
    std::string text;
    uint32_t session = 0;
    if (!ReadFile("sessionid", text)) return 0;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!ParseNumber(std::string_view(text), session) || session == kNoLoginSession) return 0;
    return session;
}

std::optional<DirectoryStamp> ProcDir::Stamp() const {
    struct stat info {};
    if (!m_fd || fstat(m_fd.get(), &info) != 0) return std::nullopt;
    return StampOf(info);
}

ProcRoot::ProcRoot() : m_fd(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

bool ProcRoot::ReadFile(int pid, const char* name, std::string& text) const {
    if (!m_fd) {
        errno = ENOENT;
        return false;
    }
    char path[64];
    char* end = std::to_chars(path, path + 16, pid).ptr;
    *end++ = '/';
    const size_t length = std::min(std::strlen(name), sizeof path - 17);
    std::memcpy(end, name, length);
    end[length] = '\0';
    return ReadFileAt(m_fd.get(), path, text, true);
}

std::optional<DirectoryStamp> ProcRoot::Stamp(int pid) const {
    char path[32];
    *std::to_chars(path, path + 16, pid).ptr = '\0';
    struct stat info {};
    if (!m_fd || fstatat(m_fd.get(), path, &info, 0) != 0) return std::nullopt;
    return StampOf(info);
}

const ProcRoot& ProcessRoot() {
    static const ProcRoot root;
    return root;
}

bool ReadWholeFile(const char* path, std::string& text) {
    const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    return fd && ReadAll(fd.get(), text);
}

std::optional<uint64_t> ProcessRuntime(int pid) {
    clockid_t clock = 0;
    timespec time{};
    if (clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0 ||
        clock_gettime(clock, &time) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(time.tv_sec) * 1000000000u + static_cast<uint64_t>(time.tv_nsec);
}

std::vector<int> ListProcessIds() {
    std::vector<int> pids;
    const UniqueDir directory(opendir("/proc"));
    if (!directory) return pids;
    while (dirent* entry = readdir(directory.get())) {
        int pid = 0;
        if (ParseNumber(std::string_view(entry->d_name), pid) && pid > 0) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

uint64_t TicksToHundredNs(uint64_t ticks) {
    return ticks * (kHundredNsPerSecond / ClockTicksPerSecond());
}

uint64_t StartTicksToFileTime(uint64_t startTicks) {
    return BootFileTime() + TicksToHundredNs(startTicks);
}

}  // namespace winport::procfs
