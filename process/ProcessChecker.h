// The protection list: whether a process must never be ended from the console. Refused are
// critical, protected and secure processes, the system's core executables, the agent's own
// executables and every process that hosts an active service. Where a list cannot be built
// the decision refuses.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_set>

class ProcessChecker {
  public:
    // `path`: the process's full image path as QueryFullProcessImageNameW gives it; `process`:
    // a handle with at least PROCESS_QUERY_LIMITED_INFORMATION. True: do not end it.
    static bool IsProcessInBlackList(const std::wstring& path, HANDLE process, DWORD processId);

    // Builds the black list of executable paths; callers hold the checker lock.
    static bool InitBlackList();
    static bool AddCriticalSystemProcess();
    static bool AddPallidoProcessesToBlackList();
    // True when the path could be normalized (and was added).
    static bool AddProcessToBlackList(const std::wstring& path);
    // The full path in lower case, as the black list holds its entries.
    static bool GetNormalizedLowerCasePath(const std::wstring& path, std::wstring& normalized);
    // Service callback: adds the service's process id to `processIds`.
    static bool ExtractServiceToCustomizedSet(const SERVICE_STATUS_PROCESS* status,
                                              std::unordered_set<DWORD>& processIds);

    // Forgets the black list and the looked-up functions, as a fresh load of the library would
    // (tests).
    static void ResetForTesting();
};
