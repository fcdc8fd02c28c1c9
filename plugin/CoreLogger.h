// The thread runners' logger: hands lines to the framework's external logger when both are on.
#pragma once

#include <atomic>

#include "quillmesh/coresync.h"

namespace CORE {

class corelogger : public coreref {
  public:
    static corelogger& instance();

    void setEnabled(bool enabled) { m_enabled.store(enabled); }
    // `source` null or empty: the plug-in's module name. Nothing is written when the logger is
    // disabled or corelogExternal is null.
    void log(const wchar_t* source, int level, const wchar_t* format, ...);

  private:
    std::atomic<bool> m_enabled{true};
};

}  // namespace CORE
