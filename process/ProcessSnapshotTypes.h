// One reading of the process table and the metrics computed from two readings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
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
};

// One reading, oldest process first (ties by process id).
using ProcessMap = std::map<ProcessKey, ProcessCounters>;

// One process's metrics over the interval between two readings.
struct ProcessRecord {
    uint32_t processId = 0;
    int64_t createTime = 0;  // seconds since 1970-01-01 UTC
    uint32_t cpu = 0;        // percent of the machine's processor time
    uint32_t mem = 0;        // private bytes
    uint32_t disk = 0;       // bytes read and written, modulo 2^32
    uint32_t sessionId = 0;
    std::wstring name;
    std::wstring userName;
};

struct ProcessList {
    int64_t timestamp = 0;  // milliseconds since 1970-01-01 UTC; 0 when the clock failed
    std::vector<ProcessRecord> records;
};
