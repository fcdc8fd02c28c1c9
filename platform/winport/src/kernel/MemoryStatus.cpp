// GlobalMemoryStatusEx over /proc/meminfo.
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>

#include "InjectedFailure.h"
#include "ProcFs.h"

namespace {

// User address space of an x86-64 process, less the low 64 KiB that are never mapped (as
// Windows reports it without its first 64 KiB).
constexpr uint64_t kUserAddressSpace = 0x00007FFFFFFFF000ull - 0x10000ull;

struct MemInfo {
    uint64_t totalKb = 0;
    uint64_t availableKb = 0;
    uint64_t swapTotalKb = 0;
    uint64_t swapFreeKb = 0;
};

// The kB value of "Key:   1234 kB" in /proc/meminfo.
std::optional<uint64_t> Field(const std::string& text, const char* key) {
    const std::string prefix = std::string(key) + ":";
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        if (text.compare(position, prefix.size(), prefix) == 0) {
            const char* first = text.data() + position + prefix.size();
            const char* last = text.data() + end;
            while (first < last && *first == ' ') ++first;
            uint64_t value = 0;
            auto result = std::from_chars(first, last, value);
            if (result.ec != std::errc()) return std::nullopt;
            return value;
        }
        position = end + 1;
    }
    return std::nullopt;
}

std::optional<MemInfo> ReadMemInfo() {
    std::string text;
    if (!winport::procfs::ReadWholeFile("/proc/meminfo", text)) return std::nullopt;
    std::optional<uint64_t> total = Field(text, "MemTotal");
    std::optional<uint64_t> available = Field(text, "MemAvailable");
    if (!available) {
        // Kernels before 3.14 have no estimate: free memory plus what the caches give back.
        available = Field(text, "MemFree").value_or(0) + Field(text, "Buffers").value_or(0) +
                    Field(text, "Cached").value_or(0);
    }
    if (!total || *total == 0) return std::nullopt;
    MemInfo info;
    info.totalKb = *total;
    info.availableKb = std::min(*available, *total);
    info.swapTotalKb = Field(text, "SwapTotal").value_or(0);
    info.swapFreeKb = std::min(Field(text, "SwapFree").value_or(0), info.swapTotalKb);
    return info;
}

uint64_t OwnVirtualBytes() {
    std::string text;
    if (!winport::procfs::ReadWholeFile("/proc/self/stat", text)) return 0;
    std::optional<winport::procfs::StatFields> stat = winport::procfs::ParseStat(text);
    return stat ? stat->virtualBytes : 0;
}

}  // namespace

extern "C" WINPORT_API BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer) {
    if (winport::InjectedFailure("GlobalMemoryStatusEx")) return FALSE;
    if (buffer == nullptr || buffer->dwLength != sizeof(MEMORYSTATUSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::optional<MemInfo> info = ReadMemInfo();
    if (!info) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    buffer->dwMemoryLoad =
        static_cast<DWORD>((info->totalKb - info->availableKb) * 100 / info->totalKb);
    buffer->ullTotalPhys = info->totalKb * 1024;
    buffer->ullAvailPhys = info->availableKb * 1024;
    buffer->ullTotalPageFile = (info->totalKb + info->swapTotalKb) * 1024;
    buffer->ullAvailPageFile = (info->availableKb + info->swapFreeKb) * 1024;
    buffer->ullTotalVirtual = kUserAddressSpace;
    const uint64_t used = std::min(OwnVirtualBytes(), kUserAddressSpace);
    buffer->ullAvailVirtual = kUserAddressSpace - used;
    buffer->ullAvailExtendedVirtual = 0;
    return TRUE;
}
