#include "ServiceEnumerator.h"

#include <new>
#include <vector>

#include "LogMessage.h"
#include "ServiceConfigExtractor.h"

ServiceEnumerator::ServiceEnumerator(ServiceStatusCallback callback)
    : m_callback(std::move(callback)) {}

bool ServiceEnumerator::EnumerateServices() {
    m_manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!m_manager) {
        LogMessage(CORE::SysMessageError, L"%s: Failed to open service manager, error: %d",
                   L"ServiceEnumerator::EnumerateServices", GetLastError());
        return false;
    }
    DWORD resumeHandle = 0;
    bool more = true;
    while (more) {
        DWORD bytesNeeded = 0;
        if (!GetEnumBufferSize(resumeHandle, bytesNeeded)) return false;
        if (!EnumService(resumeHandle, bytesNeeded, more)) return false;
    }
    return true;
}

bool ServiceEnumerator::GetEnumBufferSize(DWORD& resumeHandle, DWORD& bytesNeeded) {
    DWORD returned = 0;
    EnumServicesStatusExW(m_manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                          nullptr, 0, &bytesNeeded, &returned, &resumeHandle, nullptr);
    if (GetLastError() != ERROR_MORE_DATA) {
        LogMessage(CORE::SysMessageError,
                   L"%s: EnumServicesStatusEx: failed to get needed buffer size, error: %d",
                   L"ServiceEnumerator::GetEnumBufferSize", GetLastError());
        return false;
    }
    return true;
}

bool ServiceEnumerator::EnumService(DWORD& resumeHandle, DWORD bufferSize, bool& more) {
    std::vector<BYTE> buffer;
    try {
        buffer.assign(bufferSize, 0);
    } catch (const std::bad_alloc&) {
        LogMessage(CORE::SysMessageError,
                   L"%s: EnumServicesStatusEx: failed to query service, error: %d",
                   L"ServiceEnumerator::EnumService", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD bytesNeeded = 0;
    DWORD returned = 0;
    const BOOL succeeded = EnumServicesStatusExW(
        m_manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
        bufferSize, &bytesNeeded, &returned, &resumeHandle, nullptr);
    const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
    more = !succeeded && error == ERROR_MORE_DATA;
    if (!succeeded && error != ERROR_MORE_DATA) {
        LogMessage(CORE::SysMessageError,
                   L"%s: EnumServicesStatusEx: failed to query service, error: %d",
                   L"ServiceEnumerator::EnumService", error);
        return false;
    }
    // Never trust a count the buffer cannot hold.
    const size_t fits = buffer.size() / sizeof(ENUM_SERVICE_STATUS_PROCESSW);
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (size_t i = 0; i < returned && i < fits; ++i) {
        ServiceConfigExtractor::ExtractServiceStatusProcess(m_manager.get(),
                                                            services[i].lpServiceName, m_callback);
    }
    return true;
}
