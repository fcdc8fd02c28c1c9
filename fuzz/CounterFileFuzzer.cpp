// Counter files as winport loads them: the bytes of one file to the counter objects it
// publishes, which PDH then finds by name.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CaseFold.h"
#include "CounterFile.h"
#include "FuzzCheck.h"

namespace {

using dorn::fuzz::Require;
using winport::pdh::ObjectData;

// A name that a counter path can carry: not empty, no NUL, no backslash.
bool PathName(std::wstring_view name) {
    return !name.empty() && name.find(L'\0') == name.npos && name.find(L'\\') == name.npos;
}

void CheckObject(const ObjectData& object) {
    Require(PathName(object.name), "an object's name fits a counter path");
    for (size_t i = 0; i < object.counters.size(); ++i) {
        Require(PathName(object.counters[i].name), "a counter's name fits a counter path");
        // Lookups ignore case; the file may not list a counter twice in any case.
        Require(object.FindCounter(object.counters[i].name) == i,
                "a counter is found by its own name");
    }
    Require(object.hasInstances || object.instances.size() == 1,
            "an object without instances reads as one");
    for (const winport::pdh::ObjectInstance& instance : object.instances) {
        Require(object.hasInstances ? PathName(instance.name) : instance.name.empty(),
                "an instance's name fits a counter path");
        Require(object.FindInstance(instance.name) == &instance,
                "an instance is found by its own name");
        Require(instance.values.size() == object.counters.size(),
                "an instance has a place for each counter");
        for (const auto& value : instance.values) {
            Require(!value || std::isfinite(value->value), "a value is a finite number");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<ObjectData> objects(1);
    objects[0].name = L"before";
    std::string reason;
    if (!winport::pdh::ParseCounterFile(text, objects, reason)) {
        Require(!reason.empty(), "a refused file says why");
        Require(objects.size() == 1 && objects[0].name == L"before",
                "a refused file publishes nothing");
        return 0;
    }
    Require(objects.size() <= size, "no more objects than bytes");
    for (size_t i = 0; i < objects.size(); ++i) {
        CheckObject(objects[i]);
        for (size_t j = 0; j < i; ++j) {
            Require(!winport::EqualsIgnoringCase(objects[i].name, objects[j].name),
                    "no object is published twice");
        }
    }
    return 0;
}
