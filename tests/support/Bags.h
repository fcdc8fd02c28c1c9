// Reading bags in tests: the bags of a repeated key, the keys in order, and the whole bag as the
// JSON text the host prints, which compares keys, order and values in one assertion.
#pragma once

#include <string>
#include <vector>

#include "framework/BagJson.h"
#include "plugin/quillmesh/PropertyBag.h"

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
    return quillmesh::BagToJson(bag);
}

}  // namespace dorn::test
