// Crafted SystemProcessInformation and SystemProcessorPerformanceInformation buffers, in the
// x64 layouts, for the parser and arithmetic tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "process/SystemInformationParser.h"

namespace dorn::test {

struct CraftedProcess {
    int64_t processId = 0;
    int64_t createTime = 0;
    int64_t kernelTime = 0;
    int64_t userTime = 0;
    int64_t readBytes = 0;
    int64_t writeBytes = 0;
    uint64_t privateBytes = 0;
    uint32_t sessionId = 0;
    std::wstring name;
    bool hasName = true;  // false: ImageName.Buffer is null
};

// Lays records out as Windows does: each record, then its NUL-terminated name, 8-aligned.
class ProcessTableBuilder {
  public:
    void Add(const CraftedProcess& process) { m_processes.push_back(process); }

    // Size of the laid-out table.
    size_t Size() const;
    // Writes the table into `buffer` (at least Size() bytes, or fewer to cut it off: what does
    // not fit is left out), with name pointers into `buffer` itself.
    void WriteInto(unsigned char* buffer, size_t size) const;
    std::vector<unsigned char> Build() const;
    // Offset of each record and of the end of its name (terminator included).
    std::vector<size_t> RecordOffsets() const;
    size_t EndOfLastName() const;

  private:
    std::vector<CraftedProcess> m_processes;
};

// Processor records: {idle, kernel, user} per processor.
std::vector<unsigned char> BuildProcessorTable(const std::vector<std::vector<uint64_t>>& cpus);

template <typename T>
void Poke(unsigned char* buffer, size_t offset, T value) {
    std::memcpy(buffer + offset, &value, sizeof value);
}

}  // namespace dorn::test
