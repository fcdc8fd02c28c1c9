// What stays the same for the whole life of a process, read once when it is first seen: a
// snapshot then reads only its changing figures, and OpenProcess answers from it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ProcFs.h"

namespace winport {

struct ProcessIdentity {
    int pid = 0;
    uint64_t startTicks = 0;  // with the id, names the process for good
    procfs::DirectoryStamp stamp;
    // The process that created it, which Windows keeps reporting after that process ends.
    int64_t parentPid = 0;
    bool kernelThread = false;
    // The user, as Windows fixes a process's token user when it starts; a later setuid is not
    // followed.
    uint32_t effectiveUid = 0;
    uint32_t loginSession = 0;
    // The Linux path of the executable; nullopt with the errno of the failed read otherwise.
    std::optional<std::string> exePath;
    int exeError = 0;
    // The executable's file name when the caller may read it (the name Windows reports and
    // QueryFullProcessImageNameW ends with); else the kernel's command name (kernel threads,
    // other accounts' processes).
    std::wstring imageName;

    // Whether the caller may inspect the process (ptrace read access): its executable can be read
    // or it has none.
    bool CallerMayInspect() const { return exePath || exeError == ENOENT; }
};

// Reads the identity of process `pid` through its directory, with the stat and status read on
// the way; null when the process has ended or `pid` is a thread's id and not a process's.
std::shared_ptr<const ProcessIdentity> ReadProcessIdentity(int pid, const procfs::ProcDir& dir,
                                                           procfs::StatFields& stat,
                                                           procfs::StatusFields& status);

}  // namespace winport
