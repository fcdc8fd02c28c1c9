#include "SystemInformationParser.h"

#include <cstring>
#include <optional>

namespace {

namespace L = ProcessInformationLayout;

template <typename T>
T ReadAt(const unsigned char* buffer, size_t offset) {
    T value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

// Where the image name lies in the buffer: its offset and its length in characters.
struct NameSpan {
    size_t offset = 0;
    size_t length = 0;
};

// The NUL-terminated name that `address` points at, when all of it lies in the buffer; a null
// address is the empty name.
std::optional<NameSpan> FindImageName(const unsigned char* buffer, size_t size, uint64_t address) {
    if (address == 0) return NameSpan{};
    const uint64_t base = reinterpret_cast<uintptr_t>(buffer);
    if (address < base || address - base >= size) return std::nullopt;
    const auto start = static_cast<size_t>(address - base);
    for (size_t offset = start; offset + sizeof(wchar_t) <= size; offset += sizeof(wchar_t)) {
        if (ReadAt<wchar_t>(buffer, offset) == L'\0') {
            return NameSpan{start, (offset - start) / sizeof(wchar_t)};
        }
    }
    return std::nullopt;  // no terminator before the end of the buffer
}

bool IsIdleProcess(const unsigned char* record) {
    return ReadAt<int64_t>(record, L::kUniqueProcessId) == 0;
}

// Calls `visit` with the offset of every record of the chain while it returns true. False, with
// `badOffset` set, when a record does not lie wholly inside the buffer after the one before it,
// or `visit` refused it.
template <typename Visit>
bool WalkRecords(const unsigned char* buffer, size_t size, size_t& badOffset, Visit&& visit) {
    if (buffer == nullptr || size < L::kRecordSize) {
        badOffset = 0;
        return false;
    }
    for (size_t offset = 0;;) {
        if (!visit(offset)) {
            badOffset = offset;
            return false;
        }
        const uint32_t next = ReadAt<uint32_t>(buffer, offset + L::kNextEntryOffset);
        if (next == 0) return true;
        // The next record must start after this one and lie wholly inside the buffer.
        if (next < L::kRecordSize || next > size - L::kRecordSize - offset) {
            badOffset = offset;
            return false;
        }
        offset += next;
    }
}

// Sets the entry of one record, reusing the storage of the entry's name.
void WriteRecord(const unsigned char* buffer, const unsigned char* record, NameSpan name,
                 ProcessMap& map) {
    ProcessCounters& counters = map[{ReadAt<int64_t>(record, L::kCreateTime),
                                     ReadAt<int64_t>(record, L::kUniqueProcessId)}];
    counters.kernelTime = ReadAt<int64_t>(record, L::kKernelTime);
    counters.userTime = ReadAt<int64_t>(record, L::kUserTime);
    counters.bytesRead = ReadAt<int64_t>(record, L::kReadTransferCount);
    counters.bytesWritten = ReadAt<int64_t>(record, L::kWriteTransferCount);
    counters.privateBytes = static_cast<uint32_t>(ReadAt<uint64_t>(record, L::kPrivatePageCount));
    counters.sessionId = ReadAt<uint32_t>(record, L::kSessionId);
    counters.workingSetBytes = ReadAt<uint64_t>(record, L::kWorkingSetSize);
    // Copied bytewise: a name in the buffer need not be aligned for wchar_t.
    counters.imageName.resize(name.length);
    std::memcpy(counters.imageName.data(), buffer + name.offset, name.length * sizeof(wchar_t));
}

}  // namespace

bool ParseProcessInformation(const unsigned char* buffer, size_t size, ProcessMap& map,
                             size_t& badOffset) {
    // The whole chain is checked before the map changes, so a malformed buffer adds nothing.
    const auto nameIsSound = [&](size_t offset) {
        const unsigned char* record = buffer + offset;
        return IsIdleProcess(record) ||
               FindImageName(buffer, size, ReadAt<uint64_t>(record, L::kImageNameBuffer));
    };
    if (!WalkRecords(buffer, size, badOffset, nameIsSound)) return false;
    size_t unused = 0;
    WalkRecords(buffer, size, unused, [&](size_t offset) {
        const unsigned char* record = buffer + offset;
        if (IsIdleProcess(record)) return true;
        WriteRecord(buffer, record,
                    *FindImageName(buffer, size, ReadAt<uint64_t>(record, L::kImageNameBuffer)),
                    map);
        return true;
    });
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
