#include "ProcessObject.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "KnownProcesses.h"

namespace winport {
namespace {

constexpr DWORD kInspectingRights =
    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_VM_OPERATION |
    PROCESS_CREATE_THREAD | PROCESS_DUP_HANDLE | PROCESS_SET_INFORMATION | PROCESS_SET_QUOTA |
    PROCESS_SUSPEND_RESUME | PROCESS_CREATE_PROCESS | PROCESS_SET_SESSIONID | DELETE |
    READ_CONTROL | WRITE_DAC | WRITE_OWNER;

int PidFdOpen(DWORD pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
}

int PidFdSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INVALID_PARAMETER;  // what Windows says for a process id it does not know
    }
}

// The processes that objects (open handles, calls in progress) name, by id. On Windows an id
// stays with its process while any handle to it is open, so opening that id again reaches the
// same process, even after it ended; Linux may give the id to a new process meanwhile.
class NamedProcesses {
  public:
    static NamedProcesses& Instance() {
        // Never destroyed: handles may still be closed from other libraries' destructors.
        static auto* named = new NamedProcesses();
        return *named;
    }

    void Add(const ProcessObject* object, DWORD pid,
             std::shared_ptr<const ProcessIdentity> identity) {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_named.emplace(pid, Named{object, std::move(identity)});
    }

    void Remove(const ProcessObject* object, DWORD pid) {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto [first, last] = m_named.equal_range(pid);
        for (auto named = first; named != last; ++named) {
            if (named->second.object == object) {
                m_named.erase(named);
                return;
            }
        }
    }

    // The process some object names under `pid`, if any.
    std::shared_ptr<const ProcessIdentity> Find(DWORD pid) {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_named.find(pid);
        return found == m_named.end() ? nullptr : found->second.identity;
    }

  private:
    struct Named {
        const ProcessObject* object;
        std::shared_ptr<const ProcessIdentity> identity;
    };

    std::mutex m_lock;
    std::unordered_multimap<DWORD, Named> m_named;
};

// Whether the process is still the one /proc shows under its id.
bool HoldsItsId(const ProcessIdentity& identity) {
    std::string text;
    if (!procfs::ProcessRoot().ReadFile(identity.pid, "stat", text)) return false;
    const std::optional<procfs::StatFields> stat = procfs::ParseStat(text);
    return stat && stat->startTicks == identity.startTicks;
}

}  // namespace

ProcessObject::~ProcessObject() {
    if (m_named) NamedProcesses::Instance().Remove(this, m_pid);
}

std::shared_ptr<ProcessObject> ProcessObject::Open(DWORD pid, DWORD access, DWORD& error) {
    // Process id 0 is the idle process on Windows, which cannot be opened.
    if (pid == 0 || pid > static_cast<DWORD>(INT32_MAX)) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::shared_ptr<ProcessObject> process(new ProcessObject);
    process->m_pid = pid;
    process->m_access = access;
    std::shared_ptr<const ProcessIdentity> named = NamedProcesses::Instance().Find(pid);
    if (named && !HoldsItsId(*named)) {
        // Ended while a handle names it, its id since taken: the new handle names the ended
        // process too, which nothing reads or ends any more (no directory, no pidfd).
        process->m_identity = std::move(named);
        std::call_once(process->m_dirOpened, [] {});
        process->Name();
        return process;
    }
    if (!process->Identify()) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if ((access & kInspectingRights) != 0 && !process->CallerMayInspect()) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if ((access & PROCESS_TERMINATE) != 0) {
        if (process->IsKernelThread()) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        process->m_pidfd.reset(PidFdOpen(pid));
        if (!process->m_pidfd) {
            error = ErrorFromErrno(errno);
            return nullptr;
        }
        // The directory still reads the same process after the pidfd was taken, so the id was
        // not reused in between: both name the same process.
        std::optional<procfs::StatFields> again = process->Dir().Stat();
        if (!again || again->startTicks != process->m_identity->startTicks) {
            error = ERROR_INVALID_PARAMETER;
            return nullptr;
        }
        // Signal 0 tests the right to signal without sending anything. A zombie (ESRCH) may
        // still be opened; terminating it then fails.
        if (PidFdSignal(process->m_pidfd.get(), 0) != 0 && errno != ESRCH) {
            error = ErrorFromErrno(errno);
            return nullptr;
        }
    }
    process->Name();
    return process;
}

void ProcessObject::Name() {
    NamedProcesses::Instance().Add(this, m_pid, m_identity);
    m_named = true;
}

std::shared_ptr<ProcessObject> ProcessObject::Current() {
    static const std::shared_ptr<ProcessObject> current = [] {
        DWORD error = 0;
        std::shared_ptr<ProcessObject> self =
            Open(static_cast<DWORD>(getpid()), PROCESS_ALL_ACCESS, error);
        return self;
    }();
    return current;
}

bool ProcessObject::IsSelf() const {
    return m_pid == static_cast<DWORD>(getpid());
}

// The identity the snapshots know when the process's directory is still the one they saw (the
// kernel gives a process that reuses an id a directory of its own); else read now. A process
// taken from the snapshots has its directory opened only when a call needs it.
bool ProcessObject::Identify() {
    const int pid = static_cast<int>(m_pid);
    KnownProcesses::Reading known = KnownProcesses::Instance().Find(pid);
    if (known.identity && procfs::ProcessRoot().Stamp(pid) == known.identity->stamp) {
        m_identity = std::move(known.identity);
        m_lastStat = std::move(known.stat);
        return true;
    }
    std::call_once(m_dirOpened, [this, pid] { m_dir = procfs::ProcDir(pid); });
    procfs::StatusFields status;
    m_identity = ReadProcessIdentity(pid, m_dir, m_lastStat, status);
    return m_identity != nullptr;
}

// Opened late, the directory may be a later process's: it is kept only when it shows this
// process's start, else reads through it fail as for a process that is gone.
const procfs::ProcDir& ProcessObject::Dir() const {
    std::call_once(m_dirOpened, [this] {
        procfs::ProcDir dir(static_cast<int>(m_pid));
        std::optional<procfs::StatFields> stat = dir.Stat();
        if (stat && stat->startTicks == m_identity->startTicks) m_dir = std::move(dir);
    });
    return m_dir;
}

uint64_t ProcessObject::CreationFileTime() const {
    return procfs::StartTicksToFileTime(m_identity->startTicks);
}

procfs::StatFields ProcessObject::LatestStat() const {
    std::optional<procfs::StatFields> stat = Dir().Stat();
    std::lock_guard<std::mutex> lock(m_lock);
    if (stat && stat->startTicks == m_identity->startTicks) m_lastStat = *stat;
    return m_lastStat;
}

bool ProcessObject::HasEnded() const {
    std::optional<procfs::StatFields> stat = Dir().Stat();
    return !stat || stat->state == 'Z' || stat->state == 'X';
}

std::shared_ptr<ProcessObject> FindProcess(HANDLE handle) {
    if (handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
        std::shared_ptr<ProcessObject> current = ProcessObject::Current();
        if (!current) SetLastError(ERROR_INVALID_HANDLE);
        return current;
    }
    return FindHandleOf<ProcessObject>(handle);
}

}  // namespace winport
