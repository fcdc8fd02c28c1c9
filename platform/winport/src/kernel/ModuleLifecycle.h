// What the DllMain glue compiled into each library needs from winport: whether the process is
// exiting (the reserved argument of DLL_PROCESS_DETACH) and where to report a DllMain that
// refused DLL_PROCESS_ATTACH (LoadLibraryW then fails, as on Windows).
#pragma once

#include <windows.h>

extern "C" {

// TRUE once exit() has started, as long as winport_WatchProcessExit ran after main() began.
WINPORT_API BOOL winport_ProcessIsExiting();

// Starts watching for exit(), once per process. An atexit handler runs before the dynamic
// loader's finalisers (which run a dlopen'ed library's destructors at exit) only when it was
// registered after the loader registered them, that is after main() has started: so this is
// called on the first load of a library, not from a constructor of winport.
WINPORT_API void winport_WatchProcessExit();

WINPORT_API void winport_ReportAttachFailure(HMODULE module);

}  // extern "C"

namespace winport {

// True (once) when `module`'s DllMain returned FALSE for DLL_PROCESS_ATTACH.
bool TakeAttachFailure(HMODULE module);

}  // namespace winport
