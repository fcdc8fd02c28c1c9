#include "SystemInformationQuery.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "SystemFunction.h"
#include "SystemInformationParser.h"

namespace {

using Outcome = TableReading::Outcome;

constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
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
TableReading QueryInformationClass(ULONG informationClass, std::vector<unsigned char>& buffer,
                                   ULONG& returnedLength) {
    if (TableReading lookup = LookUpQuerySystemInformation(); !lookup) return lookup;
    const NtQuerySystemInformationFunction standIn = g_standIn.load();
    const NtQuerySystemInformationFunction query =
        standIn != nullptr ? standIn : g_querySystemInformation.Find();
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
    if (g_standIn.load() != nullptr) return {};
    const auto found = g_querySystemInformation.Get();
    switch (found.lookup) {
        case SystemFunctionLookup::Found:
            return {};
        case SystemFunctionLookup::ModuleMissing:
            return {.outcome = Outcome::kNoNtdll, .error = found.error};
        case SystemFunctionLookup::Absent:
        case SystemFunctionLookup::LookupFailed:
            break;
    }
    return {.outcome = Outcome::kNotExported, .error = found.error};
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
    g_standIn.store(nullptr);
    g_querySystemInformation.Forget();
}

void UseQuerySystemInformationForTesting(NtQuerySystemInformationFunction query) {
    g_standIn.store(query);
}
