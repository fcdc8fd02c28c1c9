#include "ServiceConfigExtractor.h"

#include "LogMessage.h"

bool ServiceConfigExtractor::ExtractServiceStatusProcess(SC_HANDLE manager,
                                                         const wchar_t* serviceName,
                                                         const ServiceStatusCallback& callback) {
    static const wchar_t* const kPrefix = L"ServiceConfigExtractor::ExtractServiceStatusProcess";
    UniqueServiceHandle service(OpenServiceW(manager, serviceName, SERVICE_QUERY_STATUS));
    if (!service) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to open service '%s', error: %d", kPrefix,
                   serviceName, GetLastError());
        return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to query status of service '%s', error: %d",
                   kPrefix, serviceName, GetLastError());
        return false;
    }
    callback(&status);
    return true;
}
