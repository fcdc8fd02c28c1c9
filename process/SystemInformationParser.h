// Parsers of the buffers NtQuerySystemInformation fills, as pure functions over bytes. They
// never read outside the buffer they are given, whatever its offsets and pointers say.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ProcessSnapshotTypes.h"

// Byte offsets of the published x64 layouts.
namespace ProcessInformationLayout {
inline constexpr size_t kNextEntryOffset = 0x00;
inline constexpr size_t kCreateTime = 0x20;
inline constexpr size_t kUserTime = 0x28;
inline constexpr size_t kKernelTime = 0x30;
inline constexpr size_t kImageNameBuffer = 0x40;  // ImageName (0x38) .Buffer
inline constexpr size_t kUniqueProcessId = 0x50;
inline constexpr size_t kSessionId = 0x64;
inline constexpr size_t kPrivatePageCount = 0xC8;
inline constexpr size_t kReadTransferCount = 0xE8;
inline constexpr size_t kWriteTransferCount = 0xF0;
inline constexpr size_t kRecordSize = 0x100;  // without thread records and name
}  // namespace ProcessInformationLayout

namespace ProcessorPerformanceLayout {
inline constexpr size_t kIdleTime = 0;
inline constexpr size_t kKernelTime = 8;
inline constexpr size_t kUserTime = 16;
inline constexpr size_t kRecordSize = 48;
}  // namespace ProcessorPerformanceLayout

// Adds or replaces one entry per process of a SystemProcessInformation buffer (the idle
// process, id 0, is skipped). A record must lie wholly inside the buffer, the next one must
// start after it, and an image name must be NUL-terminated inside the buffer. On a malformed
// buffer nothing is added, `badOffset` receives the offset of the record at fault (always
// inside the buffer) and the result is false.
bool ParseProcessInformation(const unsigned char* buffer, size_t size, ProcessMap& map,
                             size_t& badOffset);

// Sums the processor records in the first `returnedLength` bytes of a
// SystemProcessorPerformanceInformation buffer: total = kernel (idle included) + user of every
// processor, idle = their idle times. False, with both 0, when `returnedLength` exceeds the
// buffer.
bool SumProcessorTimes(const unsigned char* buffer, size_t size, size_t returnedLength,
                       uint64_t& total, uint64_t& idle);
