#include "LogMessage.h"

#include <cstdarg>

CORE::corestring<wchar_t> ModuleName;

void LogMessage(CORE::SysMessageType level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CORE::__SysMessage(level, ModuleName.c_str(), format, args, nullptr, nullptr);
    va_end(args);
}
