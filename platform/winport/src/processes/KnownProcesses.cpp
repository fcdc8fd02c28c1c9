#include "KnownProcesses.h"

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

uint64_t KnownProcesses::BeginSnapshot() {
    const std::lock_guard<std::mutex> lock(m_lock);
    return ++m_snapshots;
}

bool KnownProcesses::Read(const procfs::ProcRoot& root, int pid, uint64_t snapshot,
                          Reading& reading, std::string& text) {
    // Taken first: a process whose processor time has not moved since then has transferred
    // nothing (its own system calls do that), so its transfers need no reading.
    const std::optional<uint64_t> runtime = procfs::ProcessRuntime(pid);
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
    if (entry.lastSeen <= snapshot) {
        entry.reading = reading;
        entry.lastSeen = snapshot;
    }
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
