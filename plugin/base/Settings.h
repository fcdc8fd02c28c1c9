// The plug-in's settings, read from the local machine's registry through the framework.
#pragma once

#include <cstdint>

#include "quillmesh/corestring.h"

// "HKLM\Software\Zentavo\Pallido\Plugins\dorn\helpdesk", built once.
CORE::corestring<wchar_t> GetSettingsKey();

// Lifetime of the performance collection thread in milliseconds; read once per process.
int32_t GetCollectThreadLifeTime();

// Whether the historical metrics collector is switched off; read on every call.
bool IsHistoricalCollectorDisabled();

// Whether threads started for asynchronous operations publish their names; read once.
bool UseThreadNames();
