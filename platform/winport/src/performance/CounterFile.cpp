#include "CounterFile.h"

#include <algorithm>
#include <unordered_set>

#include "CaseFold.h"
#include "JsonInput.h"
#include "PhysicalDiskObject.h"
#include "ProcessorObject.h"

namespace winport::pdh {
namespace {

using namespace json_input;

// Names as paths compare them, ignoring case: each kept folded, so that a file with many
// instances is checked in linear time.
class NameSet {
  public:
    // False when the name is in the set already.
    bool Insert(std::wstring_view name) { return m_names.insert(Folded(name)).second; }

  private:
    std::unordered_set<std::wstring> m_names;
};

// Paths separate their parts with backslashes, so no name may hold one.
std::wstring ExpectPathName(const Json& value, const std::string& place) {
    std::wstring name = ExpectName(value, place);
    if (name.find(L'\\') != std::wstring::npos)
        throw InvalidInput(place + ": contains a backslash");
    return name;
}

// An instance is written in parentheses in a path, so its own must pair up.
bool ParenthesesBalanced(std::wstring_view name) {
    int depth = 0;
    for (wchar_t c : name) {
        if (c == L'(') ++depth;
        if (c == L')' && --depth < 0) return false;
    }
    return depth == 0;
}

std::vector<CounterInfo> ReadCounters(const Json& list, const std::string& place) {
    ExpectArray(list, place);
    std::vector<CounterInfo> counters;
    NameSet names;
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string at = Element(place, i);
        std::wstring name = ExpectPathName(list[i], at);
        if (!names.Insert(name)) throw InvalidInput(at + ": the counter is listed twice");
        counters.push_back(CounterInfo{std::move(name), CounterKind::Raw, 1.0, false,
                                       PERF_COUNTER_LARGE_RAWCOUNT});
    }
    return counters;
}

std::vector<std::optional<RawValue>> ReadValues(const Json& values, const std::string& place,
                                                const std::vector<CounterInfo>& counters) {
    ExpectObject(values, place);
    std::vector<std::optional<RawValue>> read(counters.size());
    for (const auto& [key, value] : values.items()) {
        const std::string at = Member(place, key);
        const std::wstring counter = Wide(key);
        const auto listed =
            std::find_if(counters.begin(), counters.end(),
                         [&](const CounterInfo& info) { return info.name == counter; });
        if (listed == counters.end()) throw InvalidInput(at + ": not one of the object's counters");
        read[static_cast<size_t>(listed - counters.begin())] =
            RawValue{ExpectNumber(value, at), 0, 0};
    }
    return read;
}

std::vector<ObjectInstance> ReadInstances(const Json& instances, const std::string& place,
                                          const ObjectData& object) {
    ExpectObject(instances, place);
    std::vector<ObjectInstance> read;
    NameSet names;
    for (const auto& [key, values] : instances.items()) {
        const std::string at = Member(place, key);
        std::wstring name = ExpectPathName(Json(key), at);
        if (!ParenthesesBalanced(name))
            throw InvalidInput(at + ": unbalanced parentheses in the instance name");
        if (!names.Insert(name))
            throw InvalidInput(at + ": the instance is listed twice (names ignore case)");
        read.push_back({std::move(name), ReadValues(values, at, object.counters)});
    }
    return read;
}

ObjectData ReadObject(const Json& entry, const std::string& place) {
    ExpectObject(entry, place);
    ExpectOnlyMembers(entry, place, {"name", "counters", "instances", "values"});
    ObjectData object;
    object.name = ExpectPathName(RequiredMember(entry, "name", place), Member(place, "name"));
    if (EqualsIgnoringCase(object.name, kProcessorObject) ||
        EqualsIgnoringCase(object.name, kPhysicalDiskObject)) {
        throw InvalidInput(Member(place, "name") + ": the system provides this object");
    }
    object.counters =
        ReadCounters(RequiredMember(entry, "counters", place), Member(place, "counters"));
    const bool hasInstances = entry.contains("instances");
    if (hasInstances == entry.contains("values")) {
        throw InvalidInput(place + ": give either \"instances\" or \"values\"");
    }
    object.hasInstances = hasInstances;
    if (hasInstances) {
        object.instances = ReadInstances(entry["instances"], Member(place, "instances"), object);
    } else {
        object.instances.push_back(
            {L"", ReadValues(entry["values"], Member(place, "values"), object.counters)});
    }
    return object;
}

}  // namespace

bool ParseCounterFile(std::string_view text, std::vector<ObjectData>& objects,
                      std::string& reason) {
    Json document;
    if (!Parse(text, document, reason)) return false;
    try {
        ExpectObject(document, "the document");
        ExpectOnlyMembers(document, "", {"objects"});
        const Json& list = RequiredMember(document, "objects", "");
        ExpectArray(list, "objects");
        std::vector<ObjectData> read;
        NameSet names;
        for (size_t i = 0; i < list.size(); ++i) {
            ObjectData object = ReadObject(list[i], Element("objects", i));
            if (!names.Insert(object.name)) {
                throw InvalidInput(Element("objects", i) +
                                   ": the object is listed twice (names ignore case)");
            }
            read.push_back(std::move(object));
        }
        objects = std::move(read);
        return true;
    } catch (const InvalidInput& invalid) {
        reason = invalid.what();
        return false;
    }
}

}  // namespace winport::pdh
