#include "ProcessSnapshot.h"

#include <winternl.h>

#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "LogMessage.h"
#include "SystemInformationParser.h"

namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kSystemProcessorPerformanceInformation = 8;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr size_t kBufferSlack = 16384;
// A table that outgrows the buffer this many times in a row is not going to settle.
constexpr int kMaxGrowthRounds = 32;

// Shared by every thread that samples; written only with a complete value.
std::atomic<NtQuerySystemInformationFunction> g_querySystemInformation{nullptr};

// Runs the query, growing the buffer while the system reports a length mismatch. On success
// `buffer` holds the records and `returnedLength` the length the system reported.
bool QueryInformationClass(ULONG informationClass, std::vector<unsigned char>& buffer,
                           ULONG& returnedLength) {
    if (!LoadQuerySystemInformation()) return false;
    NtQuerySystemInformationFunction query = g_querySystemInformation.load();
    buffer.clear();
    ULONG needed = 0;
    NTSTATUS status = query(informationClass, nullptr, 0, &needed);
    size_t size = 0;
    for (int round = 0; status == kStatusInfoLengthMismatch && round < kMaxGrowthRounds; ++round) {
        size = std::max<size_t>(size, needed) + kBufferSlack;
        try {
            if (size > std::numeric_limits<ULONG>::max()) throw std::bad_alloc();
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            LogMessage(CORE::SysMessageError, L"Failed to allocate %d bytes to query %d",
                       static_cast<int>(std::min<size_t>(size, INT32_MAX)),
                       static_cast<int>(informationClass));
            std::vector<unsigned char>().swap(buffer);
            return false;
        }
        status = query(informationClass, buffer.data(), static_cast<ULONG>(size), &needed);
    }
    if (status != 0) {
        LogMessage(CORE::SysMessageError, L"Failed to query %d, error: %d",
                   static_cast<int>(informationClass), static_cast<int>(status));
        std::vector<unsigned char>().swap(buffer);
        return false;
    }
    returnedLength = needed;
    return true;
}

}  // namespace

bool LoadQuerySystemInformation() {
    if (g_querySystemInformation.load() != nullptr) return true;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        LogMessage(CORE::SysMessageError, L"Failed to get the handle of ntdll.dll, error: %d",
                   GetLastError());
        return false;
    }
    auto query = reinterpret_cast<NtQuerySystemInformationFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        LogMessage(CORE::SysMessageError, L"Failed to get the query function, error: %d",
                   GetLastError());
        return false;
    }
    g_querySystemInformation.store(query);
    return true;
}

bool TakeProcessSnapshot(ProcessMap& map) {
    std::vector<unsigned char> buffer;
    ULONG returnedLength = 0;
    if (!QueryInformationClass(kSystemProcessInformation, buffer, returnedLength)) return false;
    size_t badOffset = 0;
    if (!ParseProcessInformation(buffer.data(), buffer.size(), map, badOffset)) {
        LogMessage(CORE::SysMessageError, L"Failed to parse %d, malformed record at offset %d",
                   static_cast<int>(kSystemProcessInformation), static_cast<int>(badOffset));
        return false;
    }
    return true;
}

bool QueryProcessorTimes(uint64_t& total, uint64_t& idle) {
    total = 0;
    idle = 0;
    std::vector<unsigned char> buffer;
    ULONG returnedLength = 0;
    if (!QueryInformationClass(kSystemProcessorPerformanceInformation, buffer, returnedLength)) {
        return false;
    }
    if (!SumProcessorTimes(buffer.data(), buffer.size(), returnedLength, total, idle)) {
        LogMessage(CORE::SysMessageError, L"Failed to parse %d, malformed record at offset %d",
                   static_cast<int>(kSystemProcessorPerformanceInformation),
                   static_cast<int>(std::min<size_t>(buffer.size(), INT32_MAX)));
        return false;
    }
    return true;
}

bool QueryMemoryLoad(uint32_t& percent) {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return false;
    percent = status.dwMemoryLoad;
    return true;
}

void ResetQuerySystemInformationForTesting() {
    g_querySystemInformation.store(nullptr);
}

void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query) {
    g_querySystemInformation.store(query);
}
