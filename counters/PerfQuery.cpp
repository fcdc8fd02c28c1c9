#include "PerfQuery.h"

#include "LogMessage.h"

void ClosePerfQuery(HQUERY query) {
    if (query != nullptr) PdhCloseQuery(query);
}

bool OpenAndAddCounter(PerfQuery& query, const std::wstring& path, HCOUNTER& counter) {
    if (!query) {
        HQUERY opened = nullptr;
        const PDH_STATUS status = PdhOpenQueryW(nullptr, 0, &opened);
        if (status != ERROR_SUCCESS) {
            LogMessage(CORE::SysMessageError, L"Failed to open perf query, error: 0x%x",
                       static_cast<unsigned>(status));
            return false;
        }
        query.reset(opened);
    }
    const PDH_STATUS status = PdhAddCounterW(query.get(), path.c_str(), 0, &counter);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to add counter %s, error: 0x%x", path.c_str(),
                   static_cast<unsigned>(status));
        return false;
    }
    return true;
}

bool CollectQuery(PerfQuery& query) {
    if (!query) return true;
    const PDH_STATUS status = PdhCollectQueryData(query.get());
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to collect data from counter, error: 0x%x",
                   static_cast<unsigned>(status));
        return false;
    }
    return true;
}
