#include "ProcessSnapshot.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "LogMessage.h"
#include "SystemInformationQuery.h"
#include "SystemFunction.h"
#include "SystemInformationParser.h"

namespace {

using Outcome = TableReading::Outcome;

int Clamped(size_t value) {
    return static_cast<int>(std::min<size_t>(value, INT32_MAX));
}

// Logs why looking up the query function or reading `informationClass` failed; true when
// neither did.
bool Reported(const TableReading& reading, ULONG informationClass) {
    const int number = static_cast<int>(informationClass);
    switch (reading.outcome) {
        case Outcome::kRead:
            return true;
        case Outcome::kNoNtdll:
            LogMessage(CORE::SysMessageError, L"Failed to get the handle of ntdll.dll, error: %d",
                       reading.error);
            break;
        case Outcome::kNotExported:
            LogMessage(CORE::SysMessageError, L"Failed to get the query function, error: %d",
                       reading.error);
            break;
        case Outcome::kNoMemory:
            LogMessage(CORE::SysMessageError, L"Failed to allocate %d bytes to query %d",
                       Clamped(reading.size), number);
            break;
        case Outcome::kQueryFailed:
            LogMessage(CORE::SysMessageError, L"Failed to query %d, error: %d", number,
                       static_cast<int>(reading.status));
            break;
        case Outcome::kMalformed:
            LogMessage(CORE::SysMessageError, L"Failed to parse %d, malformed record at offset %d",
                       number, Clamped(reading.badOffset));
            break;
    }
    return false;
}

}  // namespace

bool LoadQuerySystemInformation() {
    return Reported(LookUpQuerySystemInformation(), 0);
}

bool TakeProcessSnapshot(ProcessMap& map) {
    return Reported(ReadProcessTable(map), kSystemProcessInformation);
}

bool QueryProcessorTimes(uint64_t& total, uint64_t& idle) {
    return Reported(ReadProcessorTimes(total, idle), kSystemProcessorPerformanceInformation);
}

bool QueryMemoryLoad(uint32_t& percent) {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return false;
    percent = status.dwMemoryLoad;
    return true;
}
