// The plug-in's one log function and the source name it writes under.
#pragma once

#include "quillmesh/Framework.h"

// File name of the plug-in's own library without directory and suffix; set by the load hook.
extern CORE::corestring<wchar_t> ModuleName;

// Hands level, ModuleName and the wide printf-style format with its arguments to the
// framework, which formats and writes the line.
void LogMessage(CORE::SysMessageType level, const wchar_t* format, ...);
