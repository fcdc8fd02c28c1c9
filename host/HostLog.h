// The host's own log lines, through the framework's sinks like everyone's, with the source
// "dorn". Levels 2 and up are left to the plug-in's texts; the host logs at 0 and 1.
#pragma once

#include "quillmesh/SysMessage.h"

// A Windows wide printf format: %s takes a wide string, %S a narrow one.
void HostLog(CORE::SysMessageType level, const wchar_t* format, ...);
