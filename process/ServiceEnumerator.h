// Walks the active Win32 services and hands each one's status (with its process id) to a
// callback. One enumerator serves one walk; it holds the service manager open until destroyed.
#pragma once

#include <windows.h>

#include <functional>

#include "UniqueHandle.h"

using ServiceStatusCallback = std::function<bool(const SERVICE_STATUS_PROCESS*)>;

class ServiceEnumerator {
  public:
    explicit ServiceEnumerator(ServiceStatusCallback callback);

    // Opens the service manager and walks every batch of services.
    bool EnumerateServices();
    // The bytes the services from `resumeHandle` on need.
    bool GetEnumBufferSize(DWORD& resumeHandle, DWORD& bytesNeeded);
    // One batch into a buffer of `bufferSize` bytes; `more` tells whether services remain.
    bool EnumService(DWORD& resumeHandle, DWORD bufferSize, bool& more);

  private:
    UniqueServiceHandle m_manager;
    ServiceStatusCallback m_callback;
};
