// Logging into the framework. Formats are Windows wide printf formats: %s takes a wide string,
// %S a narrow one; the framework formats them the same on every platform.
#pragma once

#include <windows.h>

#include <cstdarg>

#include "quillmesh/QuillmeshApi.h"

namespace CORE {

enum SysMessageType {
    SysMessageDebug = 0,    // debug trace
    SysMessageVerbose = 1,  // verbose
    SysMessageInfo = 2,     // information
    SysMessageWarning = 3,  // warning
    SysMessageError = 4,    // error
};

// Formats `format` with `args` and hands the line, with its level and source, to the log sinks.
// `file` and `function` may be null.
QUILLMESH_API void __SysMessage(SysMessageType level, const wchar_t* source, const wchar_t* format,
                                va_list args, const char* file, const char* function);

// Notes (verbose) that a module was loaded, or unloaded when `unloaded`.
QUILLMESH_API void sysmsgLogLoaded(HMODULE module, bool unloaded);

// The external logger of the thread runners; null switches their lines off. The framework
// starts it pointing at its own log.
using corelogExternalFunction = void (*)(const wchar_t* source, int level, const wchar_t* format,
                                         va_list args);
extern QUILLMESH_API corelogExternalFunction corelogExternal;

}  // namespace CORE
