// The JSON form of a bag. Written by hand in the form `{"a": 1, "b": [2, 3]}`, so that a
// repeated key becomes one array at the place of its first occurrence; read through
// nlohmann::ordered_json, which keeps the order of the keys.
#include "BagJson.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "TextConvert.h"

namespace dorn {

namespace {

using CORE::PropertyBag;
using quillmesh::Utf8FromWideLossy;
using quillmesh::WideFromUtf8Lossy;
using Json = nlohmann::ordered_json;

// Deeper nesting than any request needs is refused rather than recursed into.
constexpr int kMaxDepth = 64;

void WriteString(std::string& out, const std::wstring& text) {
    out += Json(Utf8FromWideLossy(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void WriteBag(std::string& out, const PropertyBag& bag);

void WriteValue(std::string& out, const PropertyBag& bag, size_t index) {
    switch (bag.typeAt(index)) {
        case PropertyBag::ValueType::Text:
            WriteString(out, bag.textAt(index));
            break;
        case PropertyBag::ValueType::Int:
        case PropertyBag::ValueType::Int64:
            out += std::to_string(bag.intAt(index));
            break;
        case PropertyBag::ValueType::Bool:
            out += bag.boolAt(index) ? "true" : "false";
            break;
        case PropertyBag::ValueType::Bag:
            WriteBag(out, bag.bagAt(index));
            break;
    }
}

void WriteBag(std::string& out, const PropertyBag& bag) {
    // Positions of each key, in order, so a repeated key is written once, as an array.
    std::unordered_map<std::wstring, std::vector<size_t>> positions;
    for (size_t index = 0; index < bag.size(); ++index)
        positions[bag.keyAt(index)].push_back(index);
    out += '{';
    bool first = true;
    for (size_t index = 0; index < bag.size(); ++index) {
        const std::vector<size_t>& same = positions[bag.keyAt(index)];
        if (same.front() != index) continue;
        if (!first) out += ", ";
        first = false;
        WriteString(out, bag.keyAt(index));
        out += ": ";
        if (same.size() == 1) {
            WriteValue(out, bag, index);
            continue;
        }
        out += '[';
        for (size_t n = 0; n < same.size(); ++n) {
            if (n > 0) out += ", ";
            WriteValue(out, bag, same[n]);
        }
        out += ']';
    }
    out += '}';
}

// A refusal found while parsing; stops the parser at once.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Refuses repeated keys in one object (a list is an array) and needless depth.
class KeyChecker {
  public:
    bool operator()(int depth, Json::parse_event_t event, Json& parsed) {
        if (depth > kMaxDepth)
            throw Refused("request is nested deeper than " + std::to_string(kMaxDepth) + " levels");
        if (event == Json::parse_event_t::object_start) m_keys.emplace_back();
        if (event == Json::parse_event_t::object_end && !m_keys.empty()) m_keys.pop_back();
        if (event == Json::parse_event_t::key && !m_keys.empty()) {
            std::string key = parsed.get<std::string>();
            if (!m_keys.back().insert(key).second) {
                throw Refused("key " + Quoted(key) +
                              " occurs twice in one object (a list is an array)");
            }
        }
        return true;
    }

  private:
    std::vector<std::set<std::string>> m_keys;
};

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8Lossy(utf8);
}

void ReadObject(const Json& object, const std::string& path, PropertyBag& bag);

void AddInteger(PropertyBag& bag, const std::wstring& key, int64_t value) {
    if (value >= INT32_MIN && value <= INT32_MAX) {
        bag.addInt(key.c_str(), static_cast<int32_t>(value));
    } else {
        bag.addInt64(key.c_str(), value);
    }
}

void AddValue(PropertyBag& bag, const std::wstring& key, const Json& value,
              const std::string& where) {
    switch (value.type()) {
        case Json::value_t::string:
            bag.add(key.c_str(), Wide(value.get_ref<const std::string&>()));
            return;
        case Json::value_t::boolean:
            bag.addBool(key.c_str(), value.get<bool>());
            return;
        case Json::value_t::number_integer:
            AddInteger(bag, key, value.get<int64_t>());
            return;
        case Json::value_t::number_unsigned:
            if (value.get<uint64_t>() <= uint64_t{INT64_MAX}) {
                AddInteger(bag, key, static_cast<int64_t>(value.get<uint64_t>()));
                return;
            }
            break;
        case Json::value_t::object: {
            PropertyBag nested;
            ReadObject(value, where, nested);
            bag.addBag(key.c_str(), nested);
            return;
        }
        case Json::value_t::null:
            throw Refused("value of " + Quoted(where) + " is null");
        case Json::value_t::number_float:
            break;
        default:
            throw Refused("value of " + Quoted(where) + " has an unsupported type");
    }
    throw Refused("value of " + Quoted(where) + " is not an integer that fits 64 bits");
}

void ReadObject(const Json& object, const std::string& path, PropertyBag& bag) {
    for (const auto& [key, value] : object.items()) {
        std::string where = path.empty() ? key : path + "." + key;
        std::wstring wideKey = Wide(key);
        if (!value.is_array()) {
            AddValue(bag, wideKey, value, where);
            continue;
        }
        for (size_t index = 0; index < value.size(); ++index) {
            std::string element = where + "[" + std::to_string(index) + "]";
            if (value[index].is_array())
                throw Refused("value of " + Quoted(element) + " is an array inside an array");
            AddValue(bag, wideKey, value[index], element);
        }
    }
}

// nlohmann's texts begin with "[json.exception.parse_error.101] ": keep what follows.
std::string ParseErrorText(const nlohmann::json::exception& error) {
    std::string text = error.what();
    size_t end = text.find("] ");
    return "invalid JSON: " + (end == std::string::npos ? text : text.substr(end + 2));
}

}  // namespace

std::string BagToJson(const PropertyBag& bag) {
    std::string out;
    WriteBag(out, bag);
    return out;
}

bool JsonToBag(const std::string& json, PropertyBag& bag, std::string& error) {
    try {
        Json document = Json::parse(json, KeyChecker());
        if (!document.is_object()) throw Refused("request is not a JSON object");
        PropertyBag read;
        ReadObject(document, "", read);
        bag = std::move(read);
        return true;
    } catch (const Refused& refused) {
        error = refused.what();
    } catch (const nlohmann::json::exception& failure) {
        error = ParseErrorText(failure);
    }
    return false;
}

std::string ReplyToJson(bool result, const PropertyBag& reply) {
    std::string out = "{\"result\": ";
    out += result ? "true" : "false";
    if (reply.isError()) {
        out += ", \"error\": {\"code\": " + std::to_string(reply.getErrorCode()) + ", \"text\": ";
        WriteString(out, reply.getErrorText());
        out += '}';
    }
    out += ", \"reply\": ";
    WriteBag(out, reply);
    out += '}';
    return out;
}

}  // namespace dorn
