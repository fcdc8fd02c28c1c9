// The JSON form of a bag, as requests and replies travel on the wire: entries in order, text
// as strings, integers as numbers, booleans as booleans, a nested bag as an object, and a key
// that occurs more than once as an array of its values in order.
#pragma once

#include <string>

#include "quillmesh/PropertyBag.h"

namespace dorn {

std::string BagToJson(const CORE::PropertyBag& bag);

// Reads a JSON object into `bag` (which is replaced only on success). Integers become 32-bit
// entries when they fit and 64-bit ones otherwise; an array becomes a repeated key. Fails,
// with the reason in `error`, on text that is not a JSON object, on null values, on numbers
// that are not integers or do not fit 64 bits, and on arrays nested in arrays.
bool JsonToBag(const std::string& json, CORE::PropertyBag& bag, std::string& error);

// {"result": true|false, "error": {"code": N, "text": "..."}, "reply": {...}}; "error" only
// when the reply carries one.
std::string ReplyToJson(bool result, const CORE::PropertyBag& reply);

}  // namespace dorn
