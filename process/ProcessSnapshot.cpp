#include "process/ProcessSnapshot.h"

#include <winternl.h>

#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "platform/handles/SystemFunction.h"
#include "plugin/LogMessage.h"
#include "process/SystemInformationParser.h"

namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kSystemProcessorPerformanceInformation = 8;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr size_t kBufferSlack = 16384;
// A table that outgrows the buffer this many times in a row is not going to settle.
constexpr int kMaxGrowthRounds = 32;

// Needed, not optional: a lookup that finds nothing is made again at the next reading.
SystemFunction<NtQuerySystemInformationFunction> g_querySystemInformation(
    L"ntdll.dll", "NtQuerySystemInformation", IfAbsent::LookAgain);
// A test's stand-in, used instead of the system's function while set.
std::atomic<NtQuerySystemInformationFunction> g_standIn{nullptr};

// Runs the query, growing the buffer while the system reports a length mismatch. On success
// `buffer` holds the records and `returnedLength` the length the system reported.
bool QueryInformationClass(ULONG informationClass, std::vector<unsigned char>& buffer,
                           ULONG& returnedLength) {
    if (!LoadQuerySystemInformation()) return false;
    const NtQuerySystemInformationFunction standIn = g_standIn.load();
    const NtQuerySystemInformationFunction query =
        standIn != nullptr ? standIn : g_querySystemInformation.Find();
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
    if (g_standIn.load() != nullptr) return true;
    const auto found = g_querySystemInformation.Get();
    switch (found.lookup) {
        case SystemFunctionLookup::Found:
            return true;
        case SystemFunctionLookup::ModuleMissing:
            LogMessage(CORE::SysMessageError, L"Failed to get the handle of ntdll.dll, error: %d",
                       found.error);
            return false;
        case SystemFunctionLookup::Absent:
        case SystemFunctionLookup::LookupFailed:
            break;
    }
    LogMessage(CORE::SysMessageError, L"Failed to get the query function, error: %d", found.error);
    return false;
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
    g_standIn.store(nullptr);
    g_querySystemInformation.Forget();
}

void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query) {
    g_standIn.store(query);
}
