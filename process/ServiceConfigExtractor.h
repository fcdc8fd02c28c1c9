// Reads one service's status, with its process id, for the service enumeration.
#pragma once

#include <windows.h>

#include "ServiceEnumerator.h"

class ServiceConfigExtractor {
  public:
    // Opens the service, reads its SERVICE_STATUS_PROCESS and hands it to `callback`. False
    // (with a log line) when the service cannot be opened or queried.
    static bool ExtractServiceStatusProcess(SC_HANDLE manager, const wchar_t* serviceName,
                                            const ServiceStatusCallback& callback);
};
