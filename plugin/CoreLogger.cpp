#include "CoreLogger.h"

#include <cstdarg>

#include "LogMessage.h"

namespace CORE {

namespace {
corelogger theLogger;  // enabled from static initialisation on; never released
}  // namespace

corelogger& corelogger::instance() {
    return theLogger;
}

void corelogger::log(const wchar_t* source, int level, const wchar_t* format, ...) {
    const corelogExternalFunction external = corelogExternal;
    if (!m_enabled.load() || external == nullptr) return;
    if (source == nullptr || *source == L'\0') source = ModuleName.c_str();
    va_list args;
    va_start(args, format);
    external(source, level, format, args);
    va_end(args);
}

}  // namespace CORE
