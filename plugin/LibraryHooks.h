// What the library does when it is loaded, unloaded and initialised by the host.
#pragma once

#include <windows.h>

// Load hook: records ModuleName and tells the framework the library is loaded.
void OnProcessAttach(HINSTANCE instance);

// Unload hook: a dynamic unload (reserved null) removes the worker; at process exit (reserved
// not null) nothing is attempted, since the framework may already be gone.
void OnProcessDetach(LPVOID reserved);

// The library's one export: registers the worker "AgentHelpDesk". Always true.
extern "C"
#if defined(_WIN32)
    __declspec(dllexport)
#else
    __attribute__((visibility("default")))
#endif
        bool PluginInit();
