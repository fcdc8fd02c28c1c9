// The processes the snapshots of the process table have seen: each one's identity and the
// figures last read of it. A snapshot reads only what changes; OpenProcess, for a process seen
// by the latest snapshot, answers from its identity. A process is forgotten at the first
// snapshot that no longer sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "ProcFs.h"
#include "ProcessIdentity.h"

namespace winport {

class KnownProcesses {
  public:
    static KnownProcesses& Instance();

    // What a snapshot reads of one process.
    struct Reading {
        std::shared_ptr<const ProcessIdentity> identity;
        procfs::StatFields stat;
        procfs::StatusFields status;
        procfs::IoFields io;
        // The processor time of all its threads, in nanoseconds, taken before `io` was read.
        std::optional<uint64_t> runtime;
    };

    struct Snapshot {
        uint64_t number = 0;          // larger than every earlier snapshot's
        uint64_t reclaimedPages = 0;  // as /proc/vmstat counted them when it began
    };
    Snapshot BeginSnapshot();
    // Reads process `pid` for `snapshot`. A process that has not run at all since its figures
    // were read (its processor clock stands), while reclaim took nothing from any process, has
    // the same figures: nothing is read. Else its stat; its identity when the process is new;
    // its status only when the stat shows that it ran, faulted, or grew or shrank since
    // (nothing in the status that we report changes otherwise); its transfers only when it ran.
    // False when the process has ended. `text` is a buffer the caller reuses.
    bool Read(const procfs::ProcRoot& root, int pid, const Snapshot& snapshot, Reading& reading,
              std::string& text);
    // Forgets the processes that snapshot `snapshot`, now complete, did not see.
    void EndSnapshot(uint64_t snapshot);

    // The identity and the latest stat of the process that has id `pid`, as last seen; null
    // identity when none has been seen with that id.
    Reading Find(int pid);
    // The image name length of the process last seen with id `pid`, when one was.
    std::optional<size_t> NameLength(int pid);

  private:
    struct Entry {
        Reading reading;
        uint64_t lastSeen = 0;        // the latest snapshot that saw the process
        uint64_t reclaimedPages = 0;  // as the snapshot that last read its figures began
    };

    bool ReadNew(int pid, Reading& reading);
    bool Unchanged(int pid, uint64_t runtime, const Snapshot& snapshot, Reading& reading);

    std::mutex m_lock;  // guards everything below; never held while /proc is read
    uint64_t m_snapshots = 0;
    std::unordered_map<int, Entry> m_entries;
};

}  // namespace winport
