#include "SystemInformationParser.h"

#include <cstring>
#include <optional>
#include <string>

namespace {

template <typename T>
T ReadAt(const unsigned char* buffer, size_t offset) {
    T value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

// The NUL-terminated name that `address` points at, when all of it lies in the buffer.
std::optional<std::wstring> ReadImageName(const unsigned char* buffer, size_t size,
                                          uint64_t address) {
    if (address == 0) return std::wstring();
    const uint64_t base = reinterpret_cast<uintptr_t>(buffer);
    if (address < base || address - base >= size) return std::nullopt;
    std::wstring name;
    for (size_t offset = static_cast<size_t>(address - base); offset + sizeof(wchar_t) <= size;
         offset += sizeof(wchar_t)) {
        wchar_t c = ReadAt<wchar_t>(buffer, offset);
        if (c == L'\0') return name;
        name.push_back(c);
    }
    return std::nullopt;  // no terminator before the end of the buffer
}

bool ParseRecord(const unsigned char* buffer, size_t size, size_t offset, ProcessMap& parsed) {
    namespace L = ProcessInformationLayout;
    const unsigned char* record = buffer + offset;
    const int64_t processId = ReadAt<int64_t>(record, L::kUniqueProcessId);
    if (processId == 0) return true;  // the idle process
    std::optional<std::wstring> name =
        ReadImageName(buffer, size, ReadAt<uint64_t>(record, L::kImageNameBuffer));
    if (!name) return false;
    ProcessCounters& counters = parsed[{ReadAt<int64_t>(record, L::kCreateTime), processId}];
    counters.kernelTime = ReadAt<int64_t>(record, L::kKernelTime);
    counters.userTime = ReadAt<int64_t>(record, L::kUserTime);
    counters.bytesRead = ReadAt<int64_t>(record, L::kReadTransferCount);
    counters.bytesWritten = ReadAt<int64_t>(record, L::kWriteTransferCount);
    counters.privateBytes = static_cast<uint32_t>(ReadAt<uint64_t>(record, L::kPrivatePageCount));
    counters.sessionId = ReadAt<uint32_t>(record, L::kSessionId);
    counters.imageName = std::move(*name);
    return true;
}

}  // namespace

bool ParseProcessInformation(const unsigned char* buffer, size_t size, ProcessMap& map,
                             size_t& badOffset) {
    namespace L = ProcessInformationLayout;
    ProcessMap parsed;  // merged only when the whole buffer is sound
    size_t offset = 0;
    if (buffer == nullptr || size < L::kRecordSize) {
        badOffset = 0;
        return false;
    }
    while (true) {
        if (!ParseRecord(buffer, size, offset, parsed)) {
            badOffset = offset;
            return false;
        }
        const uint32_t next = ReadAt<uint32_t>(buffer, offset + L::kNextEntryOffset);
        if (next == 0) break;
        // The next record must start after this one and lie wholly inside the buffer.
        if (next < L::kRecordSize || next > size - L::kRecordSize - offset) {
            badOffset = offset;
            return false;
        }
        offset += next;
    }
    for (auto& [key, counters] : parsed) map.insert_or_assign(key, std::move(counters));
    return true;
}

bool SumProcessorTimes(const unsigned char* buffer, size_t size, size_t returnedLength,
                       uint64_t& total, uint64_t& idle) {
    namespace L = ProcessorPerformanceLayout;
    total = 0;
    idle = 0;
    if (returnedLength > size || (buffer == nullptr && returnedLength != 0)) return false;
    for (size_t offset = 0; offset + L::kRecordSize <= returnedLength; offset += L::kRecordSize) {
        // Unsigned sums: counters that wrap keep wrapping as the Windows arithmetic does.
        total += ReadAt<uint64_t>(buffer, offset + L::kKernelTime) +
                 ReadAt<uint64_t>(buffer, offset + L::kUserTime);
        idle += ReadAt<uint64_t>(buffer, offset + L::kIdleTime);
    }
    return true;
}
