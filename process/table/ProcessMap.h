// One reading of the process table: what it keeps of each process, by a key that survives
// between readings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

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
};

// One reading, oldest process first (ties by process id).
using ProcessMap = std::map<ProcessKey, ProcessCounters>;
