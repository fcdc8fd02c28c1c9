#include "HostLog.h"

void HostLog(CORE::SysMessageType level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CORE::__SysMessage(level, L"dorn", format, args, nullptr, nullptr);
    va_end(args);
}
