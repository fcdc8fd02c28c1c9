// The request bag of "POST /api/OPCODE": the body is the bag in its JSON form (as
// "dorn call --request" takes it), an empty body an empty bag, and "opcode" is OPCODE.
#pragma once

#include <string>

#include "quillmesh/PropertyBag.h"

// False with `error` (a sentence for the caller) when the body is not UTF-8, not JSON, not an
// object, or names another opcode; `request` is left alone then.
bool BuildApiRequest(const std::string& opcode, const std::string& body, CORE::PropertyBag& request,
                     std::string& error);
