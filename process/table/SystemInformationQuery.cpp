#include "SystemInformationQuery.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "SystemInformationParser.h"

namespace {

using Outcome = TableReading::Outcome;

constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
constexpr size_t kBufferSlack = 16384;
// A table that outgrows the buffer this many times in a row is not going to settle.
constexpr int kMaxGrowthRounds = 32;

// Shared by every thread that samples; written only with a complete value.
std::atomic<NtQuerySystemInformationFunction> g_querySystemInformation{nullptr};

// Runs the query, growing the buffer while the system reports a length mismatch. On success
// `buffer` holds the records and `returnedLength` the length the system reported.
TableReading QueryInformationClass(ULONG informationClass, std::vector<unsigned char>& buffer,
                                   ULONG& returnedLength) {
    if (TableReading lookup = LookUpQuerySystemInformation(); !lookup) return lookup;
    NtQuerySystemInformationFunction query = g_querySystemInformation.load();
    ULONG needed = 0;
    LONG status = query(informationClass, nullptr, 0, &needed);
    size_t size = 0;
    for (int round = 0; status == kStatusInfoLengthMismatch && round < kMaxGrowthRounds; ++round) {
        size = std::max<size_t>(size, needed) + kBufferSlack;
        try {
            if (size > std::numeric_limits<ULONG>::max()) throw std::bad_alloc();
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return {.outcome = Outcome::kNoMemory, .size = size};
        }
        status = query(informationClass, buffer.data(), static_cast<ULONG>(size), &needed);
    }
    if (status != 0) return {.outcome = Outcome::kQueryFailed, .status = status};
    returnedLength = needed;
    return {};
}

}  // namespace

TableReading LookUpQuerySystemInformation() {
    if (g_querySystemInformation.load() != nullptr) return {};
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return {.outcome = Outcome::kNoNtdll, .error = GetLastError()};
    auto query = reinterpret_cast<NtQuerySystemInformationFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) return {.outcome = Outcome::kNotExported, .error = GetLastError()};
    g_querySystemInformation.store(query);
    return {};
}

TableReading ReadProcessTable(ProcessMap& map) {
    std::vector<unsigned char> buffer;
    ULONG returnedLength = 0;
    TableReading reading = QueryInformationClass(kSystemProcessInformation, buffer, returnedLength);
    if (!reading) return reading;
    size_t badOffset = 0;
    if (!ParseProcessInformation(buffer.data(), buffer.size(), map, badOffset)) {
        return {.outcome = Outcome::kMalformed, .badOffset = badOffset};
    }
    return reading;
}

TableReading ReadProcessorTimes(uint64_t& total, uint64_t& idle) {
    total = 0;
    idle = 0;
    std::vector<unsigned char> buffer;
    ULONG returnedLength = 0;
    TableReading reading =
        QueryInformationClass(kSystemProcessorPerformanceInformation, buffer, returnedLength);
    if (!reading) return reading;
    if (!SumProcessorTimes(buffer.data(), buffer.size(), returnedLength, total, idle)) {
        return {.outcome = Outcome::kMalformed, .badOffset = buffer.size()};
    }
    return reading;
}

void ResetQuerySystemInformationForTesting() {
    g_querySystemInformation.store(nullptr);
}

void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query) {
    g_querySystemInformation.store(query);
}
