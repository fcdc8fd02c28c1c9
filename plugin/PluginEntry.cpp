// The library's entry point: the system calls it on load and unload.
#include <windows.h>

#include "LibraryHooks.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            OnProcessAttach(instance);
            break;
        case DLL_PROCESS_DETACH:
            OnProcessDetach(reserved);
            break;
        default:
            break;
    }
    return TRUE;
}
