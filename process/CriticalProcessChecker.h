// Whether a process is one Windows itself will not let go of: critical (its end stops the
// system) or protected / secure. The system functions are looked up once and kept; callers
// serialize through ProcessChecker's lock.
#pragma once

#include <windows.h>

class CriticalProcessChecker {
  public:
    // True when the test could be made; `critical` is set only then.
    static bool IsProcessCritical(HANDLE process, bool& critical);
    static bool IsProcessProtected(HANDLE process, bool& isProtected);

    static bool LoadKernel32Function();
    static bool LoadNtdllFunction();

    // Forgets the looked-up functions, as a fresh load of the library would (tests).
    static void ResetForTesting();
};
