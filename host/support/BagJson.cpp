// The JSON form of a bag. Written by hand in the form `{"a": 1, "b": [2, 3]}`, so that a
// repeated key becomes one array at the place of its first occurrence; read through
// nlohmann::ordered_json, which keeps the order of the keys.
#include "BagJson.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
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

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8Lossy(utf8);
}

void AddInteger(PropertyBag& bag, const std::wstring& key, int64_t value) {
    if (value >= INT32_MIN && value <= INT32_MAX) {
        bag.addInt(key.c_str(), static_cast<int32_t>(value));
    } else {
        bag.addInt64(key.c_str(), value);
    }
}

// Builds the bag while the text is parsed, in one pass and in linear time: each object's keys
// are checked against a hash set (a parsed document's ordered objects would look every key up
// one by one, which makes a request with many keys cost their square). Repeated keys,
// needless depth and keys holding a NUL stop the parse at once; a value the bag cannot hold is
// reported once the whole text is known to be JSON, so that broken text is reported as such.
class BagReader final : public nlohmann::json_sax<nlohmann::json> {
  public:
    bool null() override {
        Refuse(" is null");
        return true;
    }
    bool boolean(bool value) override {
        if (Frame* target = Next()) target->bag.addBool(target->key.c_str(), value);
        return true;
    }
    bool number_integer(number_integer_t value) override {
        if (Frame* target = Next()) AddInteger(target->bag, target->key, value);
        return true;
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (value > uint64_t{INT64_MAX}) return number_float(0, {});
        if (Frame* target = Next()) {
            AddInteger(target->bag, target->key, static_cast<int64_t>(value));
        }
        return true;
    }
    bool number_float(number_float_t, const string_t&) override {
        Refuse(" is not an integer that fits 64 bits");
        return true;
    }
    bool string(string_t& value) override {
        if (Frame* target = Next()) target->bag.add(target->key.c_str(), Wide(value));
        return true;
    }
    bool binary(binary_t&) override {
        Refuse(" has an unsupported type");
        return true;
    }
    bool start_object(std::size_t) override {
        Open();
        Frame frame;
        if (m_frames.empty()) {
            if (m_depth > 1) NotAnObject();
        } else {
            frame.path = ValuePath();
        }
        m_frames.push_back(std::move(frame));
        return true;
    }
    bool key(string_t& key) override {
        CheckDepth();
        if (m_frames.empty()) return true;
        if (key.find('\0') != std::string::npos) {
            throw Refused("key " + nlohmann::json(key).dump() + " holds a NUL character");
        }
        Frame& frame = m_frames.back();
        if (!frame.keys.insert(key).second) {
            throw Refused("key " + Quoted(key) +
                          " occurs twice in one object (a list is an array)");
        }
        frame.key = Wide(key);
        frame.keyPath = frame.path.empty() ? key : frame.path + "." + key;
        return true;
    }
    bool end_object() override {
        --m_depth;
        if (m_frames.empty()) return true;
        Frame done = std::move(m_frames.back());
        m_frames.pop_back();
        if (m_frames.empty()) {
            m_root = std::move(done.bag);
        } else if (Frame* target = Owner()) {
            target->bag.addBag(target->key.c_str(), done.bag);
        }
        return true;
    }
    bool start_array(std::size_t) override {
        Open();
        if (m_frames.empty()) {
            NotAnObject();
        } else if (m_frames.back().inArray) {
            Refuse(" is an array inside an array");
            ++m_frames.back().skippedArrays;
        } else {
            m_frames.back().inArray = true;
            m_frames.back().index = 0;
        }
        return true;
    }
    bool end_array() override {
        --m_depth;
        if (m_frames.empty()) return true;
        Frame& frame = m_frames.back();
        if (frame.skippedArrays > 0) {
            --frame.skippedArrays;
        } else {
            frame.inArray = false;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        throw error;
    }

    // The bag read, or the first refusal.
    PropertyBag Result() {
        if (m_refusal) throw Refused(*m_refusal);
        return std::move(m_root);
    }

  private:
    // An object being read: its bag, its keys so far, and the key whose value comes next.
    struct Frame {
        PropertyBag bag;
        std::unordered_set<std::string> keys;
        std::string path;       // the object's own place, "" for the request itself
        std::wstring key;       // the current key
        std::string keyPath;    // the current key's place, "a.b"
        bool inArray = false;   // the current key's value is an array being read
        size_t index = 0;       // the next element's index in that array
        int skippedArrays = 0;  // arrays inside that array, refused
    };
    void Open() {
        ++m_depth;
        CheckDepth();
    }
    void CheckDepth() const {
        if (m_depth > kMaxDepth) {
            throw Refused("request is nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
    }
    void NotAnObject() {
        if (!m_refusal) m_refusal = "request is not a JSON object";
    }
    // The place of the value that comes next: "a.b", or "a.b[2]" inside an array.
    std::string ValuePath() {
        Frame& frame = m_frames.back();
        if (!frame.inArray) return frame.keyPath;
        return frame.keyPath + "[" + std::to_string(frame.index++) + "]";
    }
    void Refuse(const char* reason) {
        if (m_frames.empty()) {
            NotAnObject();
            return;
        }
        const std::string place = ValuePath();
        if (!m_refusal) m_refusal = "value of " + Quoted(place) + reason;
    }
    // The bag and key the next value goes to; null once anything was refused (nothing more is
    // kept) or outside any object.
    Frame* Next() {
        if (m_frames.empty()) {
            NotAnObject();
            return nullptr;
        }
        ValuePath();  // counts the element
        return Owner();
    }
    Frame* Owner() {
        if (m_refusal || m_frames.empty()) return nullptr;
        return &m_frames.back();
    }

    std::vector<Frame> m_frames;
    int m_depth = 0;
    std::optional<std::string> m_refusal;
    PropertyBag m_root;
};

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
        BagReader reader;
        nlohmann::json::sax_parse(json, &reader);
        bag = reader.Result();
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
