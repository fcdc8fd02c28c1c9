// "LogonTimeInfo": the session's logon profiling data, handed on Base64-encoded.
#pragma once

#include <cstdint>

#include "quillmesh/PropertyBag.h"

// Adds "logon_time": the session's "ProfilerData" in the ANSI code page, Base64-encoded.
// Throws CORE::conversion_error when the text has no form in the ANSI code page.
bool GetLogonTimeInfo(int32_t sessionId, CORE::PropertyBag& reply);
