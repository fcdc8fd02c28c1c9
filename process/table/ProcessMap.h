// One reading of the process table: what it keeps of each process, by a key that survives
// between readings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// Identifies a process across readings: a reused process id comes with another creation time.
struct ProcessKey {
    int64_t creationTime = 0;  // 100-ns units since 1601-01-01 UTC
    int64_t processId = 0;

    friend bool operator<(const ProcessKey& a, const ProcessKey& b) {
        return std::tie(a.creationTime, a.processId) < std::tie(b.creationTime, b.processId);
    }
    friend bool operator==(const ProcessKey& a, const ProcessKey& b) {
        return a.creationTime == b.creationTime && a.processId == b.processId;
    }
};

// What one reading keeps of a process.
struct ProcessCounters {
    int64_t kernelTime = 0;  // 100-ns units
    int64_t userTime = 0;
    int64_t bytesRead = 0;
    int64_t bytesWritten = 0;
    uint32_t privateBytes = 0;  // low 32 bits of PrivatePageCount
    uint32_t sessionId = 0;
    std::wstring imageName;
    uint64_t workingSetBytes = 0;

    friend bool operator==(const ProcessCounters&, const ProcessCounters&) = default;
};

// One reading, oldest process first (ties by process id): an ordered map from key to counters.
// Emptying it keeps its entries, names included, for the next reading, so a thread that reads
// the table every second into the same maps allocates only for processes beyond the most it
// has seen. A copy takes the entries alone.
class ProcessMap {
  public:
    using Entries = std::map<ProcessKey, ProcessCounters>;
    using value_type = Entries::value_type;
    using iterator = Entries::iterator;
    using const_iterator = Entries::const_iterator;

    ProcessMap() = default;
    ProcessMap(const ProcessMap& other) : m_entries(other.m_entries) {}
    ProcessMap(ProcessMap&&) noexcept = default;
    ProcessMap& operator=(const ProcessMap& other) {
        m_entries = other.m_entries;
        return *this;
    }
    ProcessMap& operator=(ProcessMap&&) noexcept = default;

    iterator begin() { return m_entries.begin(); }
    iterator end() { return m_entries.end(); }
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    iterator find(const ProcessKey& key) { return m_entries.find(key); }
    const_iterator find(const ProcessKey& key) const { return m_entries.find(key); }

    // The counters of `key`; a new entry starts from zero counters and an empty name.
    ProcessCounters& operator[](const ProcessKey& key) {
        // The system lists processes roughly oldest first: most land at the end.
        iterator at = !m_entries.empty() && std::prev(m_entries.end())->first < key
                          ? m_entries.end()
                          : m_entries.lower_bound(key);
        if (at != m_entries.end() && at->first == key) return at->second;
        if (m_spare.empty()) return m_entries.emplace_hint(at, key, ProcessCounters())->second;
        Entries::node_type node = std::move(m_spare.back());
        m_spare.pop_back();
        node.key() = key;
        Restart(node.mapped());
        return m_entries.insert(at, std::move(node))->second;
    }

    // Removes every entry, keeping them for the next reading.
    void clear() {
        m_spare.reserve(m_spare.size() + m_entries.size());
        while (!m_entries.empty()) m_spare.push_back(m_entries.extract(m_entries.begin()));
    }

    void swap(ProcessMap& other) noexcept {
        m_entries.swap(other.m_entries);
        m_spare.swap(other.m_spare);
    }

  private:
    // Zero counters that keep the name's storage.
    static void Restart(ProcessCounters& counters) {
        std::wstring name = std::move(counters.imageName);
        name.clear();
        counters = ProcessCounters();
        counters.imageName = std::move(name);
    }

    Entries m_entries;
    std::vector<Entries::node_type> m_spare;
};
