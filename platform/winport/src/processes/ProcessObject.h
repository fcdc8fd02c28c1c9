// A process as a handle names it: its /proc directory held open (so every later read reaches
// this process or fails, never a process that reused its id) and, for termination, a pidfd.
#pragma once

#include <windows.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Handles.h"
#include "ProcFs.h"

namespace winport {

class ProcessObject : public HandleObject {
  public:
    // Opens the process with the requested rights; null with a Windows error code otherwise.
    static std::shared_ptr<ProcessObject> Open(DWORD pid, DWORD access, DWORD& error);
    // The calling process, with every right (the target of the pseudo handle).
    static std::shared_ptr<ProcessObject> Current();

    ~ProcessObject() override;

    DWORD Pid() const { return m_pid; }
    bool HasAnyRight(DWORD rights) const { return (m_access & rights) != 0; }
    bool IsKernelThread() const { return (m_flags & procfs::kKernelThreadFlag) != 0; }
    bool IsSelf() const;
    uint64_t CreationFileTime() const;
    int PidFd() const { return m_pidfd; }
    const procfs::ProcDir& Dir() const { return m_dir; }

    // The Linux path of the executable as read at open; nullopt with the errno of the failed
    // read otherwise.
    const std::optional<std::string>& ExePath() const { return m_exePath; }
    int ExeError() const { return m_exeError; }
    // Whether the caller could inspect the process when it was opened (ptrace read access).
    bool CallerMayInspect() const { return m_exePath || m_exeError == ENOENT; }

    // The latest reading of /proc/<pid>/stat; after the process is gone, the last one taken.
    procfs::StatFields LatestStat() const;
    // Whether the process has ended (a zombie, or reaped).
    bool HasEnded() const;
    // The effective uid now, or as read at open once the process is gone.
    uint32_t EffectiveUid() const;

  private:
    ProcessObject() = default;

    DWORD m_pid = 0;
    DWORD m_access = 0;
    uint32_t m_flags = 0;
    uint64_t m_startTicks = 0;
    int m_pidfd = -1;
    procfs::ProcDir m_dir;
    std::optional<std::string> m_exePath;
    int m_exeError = 0;
    mutable std::mutex m_lock;  // guards the cached readings below
    mutable procfs::StatFields m_lastStat;
    mutable uint32_t m_lastUid = 0;
};

// The process named by a handle, the pseudo handle included; null with ERROR_INVALID_HANDLE.
std::shared_ptr<ProcessObject> FindProcess(HANDLE handle);

}  // namespace winport
