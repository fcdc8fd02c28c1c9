// Reading processes from /proc. The files of one process are read through a descriptor of its
// /proc directory, so that all of them describe the same process even when its id is reused
// while they are read (the old directory then reads as gone).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UniqueFd.h"

namespace winport::procfs {

// Flag of /proc/<pid>/stat field 9 that marks a kernel thread.
inline constexpr uint32_t kKernelThreadFlag = 0x00200000;

struct StatFields {
    std::string comm;
    char state = '?';
    int64_t parentPid = 0;
    uint32_t flags = 0;
    uint64_t minorFaults = 0;
    uint64_t majorFaults = 0;
    uint64_t userTicks = 0;
    uint64_t systemTicks = 0;
    int64_t priority = 0;
    int64_t nice = 0;
    int64_t threads = 0;
    uint64_t startTicks = 0;  // clock ticks after boot
    uint64_t virtualBytes = 0;
    uint64_t residentPages = 0;
};

struct StatusFields {
    uint64_t anonymousKb = 0;  // RssAnon
    uint64_t swapKb = 0;       // VmSwap
    uint64_t peakVirtualKb = 0;
    uint64_t peakResidentKb = 0;
    int64_t threadGroupId = 0;  // Tgid: the process id of the thread's process
    uint32_t effectiveUid = 0;
    bool hasUid = false;
};

struct IoFields {
    uint64_t readBytes = 0;   // rchar: every byte read, as Windows counts transfers
    uint64_t writeBytes = 0;  // wchar
};

// One processor's line of /proc/stat, in clock ticks.
struct CpuTicks {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
};

// The kernel keeps this many bytes of a command name (TASK_COMM_LEN less its NUL).
inline constexpr size_t kCommandNameBytes = 15;

// The file name of a process's executable where /proc/<pid>/exe cannot be read (another
// account's process, without CAP_SYS_PTRACE): the command name, or where the kernel cut it, the
// file name of the command line's first word when that begins with the cut name. Kernel threads,
// and programs that rewrote their command line or scripts run by an interpreter, keep the
// command name.
std::string ExecutableFileName(const StatFields& stat, std::string_view commandLine);

// Parsers of the files' text; nullopt when the text is not in the expected form.
std::optional<StatFields> ParseStat(std::string_view text);
std::optional<StatusFields> ParseStatus(std::string_view text);
std::optional<IoFields> ParseIo(std::string_view text);
std::vector<CpuTicks> ParsePerCpuTicks(std::string_view procStat);
// The pages /proc/vmstat says reclaim took from processes so far (stolen, demoted, swapped out):
// while it stays, no process lost memory it did not give up itself.
uint64_t ParseReclaimedPages(std::string_view vmstat);
std::optional<uint64_t> ParseBootTime(std::string_view procStat);

// What tells one process's /proc directory from that of a later process with the same id: the
// kernel makes a new inode, with a number and change time of its own, for every process it shows.
struct DirectoryStamp {
    uint64_t inode = 0;
    int64_t changeSeconds = 0;
    int64_t changeNanoseconds = 0;

    friend bool operator==(const DirectoryStamp&, const DirectoryStamp&) = default;
};

// The /proc directory of one process.
class ProcDir {
  public:
    ProcDir() = default;
    explicit ProcDir(int pid);

    bool IsOpen() const { return static_cast<bool>(m_fd); }
    // Whole file; false with errno set when it cannot be read.
    bool ReadFile(const char* name, std::string& text) const;
    // Target of a link such as "exe", without the " (deleted)" mark of a replaced file; false
    // with errno set when it cannot be read.
    bool ReadLink(const char* name, std::string& target) const;

    std::optional<StatFields> Stat() const;
    std::optional<StatusFields> Status() const;
    std::optional<IoFields> Io() const;
    // The login session (/proc/<pid>/sessionid); 0 when the process has none.
    uint32_t LoginSession() const;
    std::optional<DirectoryStamp> Stamp() const;

  private:
    UniqueFd m_fd;
};

// /proc itself: one of a process's small files (stat, status, io: made in one piece, up to 4 KiB
// read at once) read by its id, with one open relative to /proc. Cheaper
// than a ProcDir for files read once, but two reads may reach two processes when the id is
// reused in between.
class ProcRoot {
  public:
    ProcRoot();

    bool IsOpen() const { return static_cast<bool>(m_fd); }
    // Whole file into `text` (its buffer reused); false with errno set when it cannot be read.
    bool ReadFile(int pid, const char* name, std::string& text) const;
    // The stamp of the directory of process `pid`.
    std::optional<DirectoryStamp> Stamp(int pid) const;

  private:
    UniqueFd m_fd;
};

// /proc, opened once for the whole process.
const ProcRoot& ProcessRoot();

// Whole file by path; false when it cannot be read.
bool ReadWholeFile(const char* path, std::string& text);

// The processor time all threads of process `pid` have used, in nanoseconds, from its CPU clock:
// exact to the nanosecond where the tick counts of its stat are not, and read without a file.
// nullopt when the clock cannot be read (the process has gone).
std::optional<uint64_t> ProcessRuntime(int pid);

// Process ids listed in /proc, ascending.
std::vector<int> ListProcessIds();

// Clock ticks to 100-ns units.
uint64_t TicksToHundredNs(uint64_t ticks);
// A start time in ticks after boot as a FILETIME value. The boot time is read once, so every
// caller in the process computes the same creation time for the same process.
uint64_t StartTicksToFileTime(uint64_t startTicks);

}  // namespace winport::procfs
