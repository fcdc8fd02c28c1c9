// A library whose DllMain tells the test program (which exports the recorder) each call it
// gets, and says on standard error when it is detached at process exit, for a parent process
// to read.
#include <unistd.h>
#include <windows.h>

extern "C" void RecordDllMainCall(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    RecordDllMainCall(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        static const char kLine[] = "dllmain_probe: detached at process exit\n";
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kLine, sizeof kLine - 1);
    }
    return TRUE;
}
