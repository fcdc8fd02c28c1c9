// "ClientInfo": what the agent knows of a session's client device.
#pragma once

#include <cstdint>

#include "quillmesh/PropertyBag.h"

// Adds the bag "client_info" with the session's known client values under their reply keys.
bool GetClientInfo(int32_t sessionId, CORE::PropertyBag& reply);
