// A library that reports each call of its DllMain on standard output, to show how the system
// unloads a library: FreeLibrary passes a null reserved argument, process exit a non-null one.
// Lines are written straight to the handle, since at exit the C runtime may already be gone.
#include <windows.h>

namespace {

void Report(const char* line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(lstrlenA(line)), &written,
              nullptr);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) Report("probe: attach\n");
    if (reason == DLL_PROCESS_DETACH) {
        Report(reserved == nullptr ? "probe: detach, reserved null\n"
                                   : "probe: detach, reserved set\n");
    }
    return TRUE;
}
