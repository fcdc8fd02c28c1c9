// A process as a handle names it: its identity, its /proc directory held open (so every later
// read reaches this process or fails, never a process that reused its id) and, for termination,
// a pidfd.
#pragma once

#include <windows.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Handles.h"
#include "ProcFs.h"
#include "ProcessIdentity.h"
#include "UniqueFd.h"

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
    bool IsKernelThread() const { return m_identity->kernelThread; }
    int64_t ParentPid() const { return m_identity->parentPid; }
    bool IsSelf() const;
    uint64_t CreationFileTime() const;
    int PidFd() const { return m_pidfd.get(); }

    // The Linux path of the executable as first read; nullopt with the errno of the failed read
    // otherwise.
    const std::optional<std::string>& ExePath() const { return m_identity->exePath; }
    int ExeError() const { return m_identity->exeError; }
    bool CallerMayInspect() const { return m_identity->CallerMayInspect(); }
    // The user of the process's token.
    uint32_t EffectiveUid() const { return m_identity->effectiveUid; }

    // The latest reading of /proc/<pid>/stat; after the process is gone, the last one taken.
    procfs::StatFields LatestStat() const;
    // Whether the process has ended (a zombie, or reaped).
    bool HasEnded() const;

  private:
    ProcessObject() = default;
    bool Identify();
    // Enters the process among those that objects name (see NamedProcesses).
    void Name();
    const procfs::ProcDir& Dir() const;

    DWORD m_pid = 0;
    DWORD m_access = 0;
    std::shared_ptr<const ProcessIdentity> m_identity;
    UniqueFd m_pidfd;
    mutable std::once_flag m_dirOpened;
    mutable procfs::ProcDir m_dir;
    mutable std::mutex m_lock;  // guards the cached reading below
    mutable procfs::StatFields m_lastStat;
    bool m_named = false;
};

// The process named by a handle, the pseudo handle included; null with ERROR_INVALID_HANDLE.
std::shared_ptr<ProcessObject> FindProcess(HANDLE handle);

}  // namespace winport
