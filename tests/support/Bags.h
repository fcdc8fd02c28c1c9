// Reading bags in tests: the bags of a repeated key, the keys in order, the whole bag as the
// JSON text the host prints, which compares keys, order and values in one assertion, and the
// bag's shape, which compares keys, order and wire types (integer widths included) in one.
#pragma once

#include <string>
#include <vector>

#include "BagJson.h"
#include "quillmesh/PropertyBag.h"

namespace dorn::test {

inline std::vector<CORE::PropertyBag> Bags(const CORE::PropertyBag& bag, const wchar_t* key) {
    std::vector<CORE::PropertyBag> bags;
    CORE::PropertyBag item;
    for (size_t at = bag.getNextBag(key, item, 0); at != 0; at = bag.getNextBag(key, item, at)) {
        bags.push_back(item);
    }
    return bags;
}

inline std::vector<std::wstring> KeysOf(const CORE::PropertyBag& bag) {
    std::vector<std::wstring> keys;
    for (size_t i = 0; i < bag.size(); ++i) keys.push_back(bag.keyAt(i));
    return keys;
}

inline std::string Json(const CORE::PropertyBag& bag) {
    return dorn::BagToJson(bag);
}

// The bag as JSON with every value replaced by its wire type: "text", "int32", "int64", "bool",
// or the shape of a nested bag. A repeated key is one array at its first place, as in Json().
// Compare it with a shape written out in the test: `EXPECT_EQ(Shape(reply),
// ShapeOf(R"({"id": "int64", "name": "text"})"))`.
inline std::string Shape(const CORE::PropertyBag& bag) {
    CORE::PropertyBag typed;
    for (size_t index = 0; index < bag.size(); ++index) {
        const wchar_t* key = bag.keyAt(index).c_str();
        switch (bag.typeAt(index)) {
            case CORE::PropertyBag::ValueType::Text:
                typed.add(key, L"text");
                break;
            case CORE::PropertyBag::ValueType::Int:
                typed.add(key, L"int32");
                break;
            case CORE::PropertyBag::ValueType::Int64:
                typed.add(key, L"int64");
                break;
            case CORE::PropertyBag::ValueType::Bool:
                typed.add(key, L"bool");
                break;
            case CORE::PropertyBag::ValueType::Bag: {
                CORE::PropertyBag nested;
                std::string error;
                dorn::JsonToBag(Shape(bag.bagAt(index)), nested, error);
                typed.addBag(key, nested, false);
                break;
            }
        }
    }
    return dorn::BagToJson(typed);
}

// A shape written in a test, normalised to the form Shape() prints.
inline std::string ShapeOf(const std::string& json) {
    CORE::PropertyBag parsed;
    std::string error;
    if (!dorn::JsonToBag(json, parsed, error)) return "not a JSON object: " + error;
    return dorn::BagToJson(parsed);
}

}  // namespace dorn::test
