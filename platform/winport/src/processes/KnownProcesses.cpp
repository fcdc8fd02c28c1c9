#include "KnownProcesses.h"

#include <algorithm>
#include <utility>

namespace winport {
namespace {

// A process that neither ran a clock tick nor faulted, and whose sizes stayed, has the same
// memory figures as before: its anonymous memory grows only by its own faults and shrinks to
// swap only with its resident size, and its peaks grow only with its sizes.
bool SameActivity(const procfs::StatFields& before, const procfs::StatFields& now) {
    return before.userTicks == now.userTicks && before.systemTicks == now.systemTicks &&
           before.minorFaults == now.minorFaults && before.majorFaults == now.majorFaults &&
           before.residentPages == now.residentPages && before.virtualBytes == now.virtualBytes;
}

}  // namespace

KnownProcesses& KnownProcesses::Instance() {
    static KnownProcesses known;
    return known;
}

KnownProcesses::Snapshot KnownProcesses::BeginSnapshot() {
    Snapshot snapshot;
    std::string vmstat;
    if (procfs::ReadWholeFile("/proc/vmstat", vmstat)) {
        snapshot.reclaimedPages = procfs::ParseReclaimedPages(vmstat);
    }
    const std::lock_guard<std::mutex> lock(m_lock);
    snapshot.number = ++m_snapshots;
    return snapshot;
}

bool KnownProcesses::Read(const procfs::ProcRoot& root, int pid, const Snapshot& snapshot,
                          Reading& reading, std::string& text) {
    // Taken first: a process whose processor time has not moved since then has transferred
    // nothing, faulted nothing in and changed no size (its own threads do that).
    const std::optional<uint64_t> runtime = procfs::ProcessRuntime(pid);
    if (runtime && Unchanged(pid, *runtime, snapshot, reading)) return true;
    if (!root.ReadFile(pid, "stat", text)) return false;
    std::optional<procfs::StatFields> stat = procfs::ParseStat(text);
    if (!stat) return false;
    bool known = false;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_entries.find(pid);
        if (found != m_entries.end() &&
            found->second.reading.identity->startTicks == stat->startTicks) {
            reading = found->second.reading;
            known = true;
        }
    }
    if (!known) {
        if (!ReadNew(pid, reading)) return false;
    } else if (SameActivity(reading.stat, *stat)) {
        reading.stat = std::move(*stat);
    } else {
        reading.stat = std::move(*stat);
        if (!root.ReadFile(pid, "status", text)) return false;
        std::optional<procfs::StatusFields> status = procfs::ParseStatus(text);
        if (!status) return false;
        reading.status = *status;
    }
    if (!known || !runtime || reading.runtime != runtime) {
        // Another account's transfers cannot be read: they count as none.
        reading.io = root.ReadFile(pid, "io", text)
                         ? procfs::ParseIo(text).value_or(procfs::IoFields{})
                         : procfs::IoFields{};
    }
    reading.runtime = runtime;
    const std::lock_guard<std::mutex> lock(m_lock);
    Entry& entry = m_entries[pid];
    if (entry.lastSeen <= snapshot.number) {
        entry.reading = reading;
        entry.lastSeen = snapshot.number;
        entry.reclaimedPages = snapshot.reclaimedPages;
    }
    return true;
}

// The same id and the same processor time to the nanosecond is the same process, idle since. Its
// nice value and a file truncated under its mappings are the only figures others could have
// changed meanwhile; they show once it runs again.
bool KnownProcesses::Unchanged(int pid, uint64_t runtime, const Snapshot& snapshot,
                               Reading& reading) {
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_entries.find(pid);
    if (found == m_entries.end()) return false;
    Entry& entry = found->second;
    if (entry.reading.runtime != runtime || entry.reclaimedPages != snapshot.reclaimedPages) {
        return false;
    }
    reading = entry.reading;
    entry.lastSeen = std::max(entry.lastSeen, snapshot.number);
    return true;
}

bool KnownProcesses::ReadNew(int pid, Reading& reading) {
    const procfs::ProcDir dir(pid);
    reading.identity = ReadProcessIdentity(pid, dir, reading.stat, reading.status);
    return reading.identity != nullptr;
}

void KnownProcesses::EndSnapshot(uint64_t snapshot) {
    const std::lock_guard<std::mutex> lock(m_lock);
    std::erase_if(m_entries,
                  [snapshot](const auto& entry) { return entry.second.lastSeen < snapshot; });
}

KnownProcesses::Reading KnownProcesses::Find(int pid) {
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_entries.find(pid);
    return found == m_entries.end() ? Reading{} : found->second.reading;
}

std::optional<size_t> KnownProcesses::NameLength(int pid) {
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_entries.find(pid);
    if (found == m_entries.end()) return std::nullopt;
    return found->second.reading.identity->imageName.size();
}

}  // namespace winport
