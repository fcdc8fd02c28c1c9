// Linked into each Linux library that has a DllMain: calls it when the library is loaded and
// unloaded, with the library's own module handle, and tells a dynamic unload (FreeLibrary,
// reserved null) from process exit (reserved non-null) as Windows does.
#include <dlfcn.h>
#include <windows.h>

#include "ModuleLifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

HINSTANCE ownModule = nullptr;

HINSTANCE FindOwnModule() {
    static const char marker = 0;
    Dl_info info{};
    if (dladdr(&marker, &info) == 0) return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void AttachOnLoad() {
    winport_WatchProcessExit();
    ownModule = FindOwnModule();
    if (!DllMain(ownModule, DLL_PROCESS_ATTACH, nullptr)) winport_ReportAttachFailure(ownModule);
}

__attribute__((destructor)) void DetachOnUnload() {
    const LPVOID reserved = winport_ProcessIsExiting() ? reinterpret_cast<LPVOID>(1) : nullptr;
    DllMain(ownModule, DLL_PROCESS_DETACH, reserved);
}

}  // namespace
