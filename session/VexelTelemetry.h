// "VexelTelemetry": the session's current display topology, handed on unchanged.
#pragma once

#include <cstdint>

#include "quillmesh/PropertyBag.h"

// Adds the bag "current_topology" holding the session's display topology as "topology".
bool GetVexelTelemetry(int32_t sessionId, CORE::PropertyBag& reply);
