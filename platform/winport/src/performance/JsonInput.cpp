#include "JsonInput.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>

#include "Utf8.h"

namespace winport::json_input {
namespace {

[[noreturn]] void Fail(const std::string& place, const std::string& reason) {
    throw InvalidInput(place + ": " + reason);
}

// nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
std::string WithoutExceptionTag(const std::string& message) {
    if (message.empty() || message.front() != '[') return message;
    const size_t end = message.find("] ");
    return end == std::string::npos ? message : message.substr(end + 2);
}

// Builds the document as the parser reads it. A member is appended to its object after a
// hash-set check of its name, so a file with many members costs linear time (the ordered
// document's own insertion looks every name up one by one) and a repeated name is refused
// rather than merged.
class DocumentBuilder final : public nlohmann::json_sax<Json> {
  public:
    explicit DocumentBuilder(Json& document) : m_document(document) {}

    bool null() override { return Add(Json(nullptr)); }
    bool boolean(bool value) override { return Add(Json(value)); }
    bool number_integer(number_integer_t value) override { return Add(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Add(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return Add(Json(value)); }
    bool string(string_t& value) override { return Add(Json(std::move(value))); }
    bool binary(binary_t& value) override { return Add(Json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return Open(Json::object()); }
    bool start_array(std::size_t) override { return Open(Json::array()); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& name) override {
        Level& level = m_levels.back();
        if (!level.names.insert(name).second) Fail(Member(level.place, name), "listed twice");
        level.name = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        throw error;
    }

  private:
    struct Level {
        Json value;
        std::string place;
        std::unordered_set<std::string> names;  // an object's members so far
        std::string name;                       // the member whose value comes next
    };

    std::string NextPlace() const {
        if (m_levels.empty()) return "";
        const Level& level = m_levels.back();
        return level.value.is_array() ? Element(level.place, level.value.size())
                                      : Member(level.place, level.name);
    }
    bool Open(Json value) {
        std::string place = NextPlace();
        m_levels.push_back(Level{std::move(value), std::move(place), {}, {}});
        return true;
    }
    bool Close() {
        Json value = std::move(m_levels.back().value);
        m_levels.pop_back();
        return Add(std::move(value));
    }
    bool Add(Json value) {
        if (m_levels.empty()) {
            m_document = std::move(value);
            return true;
        }
        Level& level = m_levels.back();
        if (level.value.is_array()) {
            level.value.get_ref<Json::array_t&>().push_back(std::move(value));
        } else {
            // Appended past the ordered map's own search: the name was checked above.
            static_cast<Json::object_t::Container&>(level.value.get_ref<Json::object_t&>())
                .emplace_back(std::move(level.name), std::move(value));
        }
        return true;
    }

    Json& m_document;
    std::vector<Level> m_levels;
};

}  // namespace

bool Parse(std::string_view text, Json& document, std::string& reason) {
    try {
        Json read;
        DocumentBuilder builder(read);
        Json::sax_parse(text.begin(), text.end(), &builder);
        document = std::move(read);
        return true;
    } catch (const Json::exception& error) {
        reason = WithoutExceptionTag(error.what());
    } catch (const InvalidInput& invalid) {
        reason = invalid.what();
    }
    return false;
}

std::string Member(const std::string& place, const std::string& key) {
    const bool identifier = !key.empty() && !std::isdigit(static_cast<unsigned char>(key[0])) &&
                            std::all_of(key.begin(), key.end(), [](char c) {
                                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
                            });
    if (identifier) return place.empty() ? key : place + "." + key;
    return place + "[" + Json(key).dump() + "]";
}

std::string Element(const std::string& place, size_t index) {
    return place + "[" + std::to_string(index) + "]";
}

void ExpectObject(const Json& value, const std::string& place) {
    if (!value.is_object())
        Fail(place, std::string("expected an object, found ") + value.type_name());
}

void ExpectArray(const Json& value, const std::string& place) {
    if (!value.is_array())
        Fail(place, std::string("expected an array, found ") + value.type_name());
}

void ExpectOnlyMembers(const Json& value, const std::string& place,
                       const std::vector<std::string>& allowed) {
    for (const auto& [key, member] : value.items()) {
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            Fail(Member(place, key), "unknown member");
        }
    }
}

const Json& RequiredMember(const Json& value, const std::string& key, const std::string& place) {
    const auto found = value.find(key);
    if (found == value.end()) Fail(Member(place, key), "missing");
    return *found;
}

std::wstring ExpectText(const Json& value, const std::string& place) {
    if (!value.is_string())
        Fail(place, std::string("expected a string, found ") + value.type_name());
    const std::string& text = value.get_ref<const std::string&>();
    if (text.find('\0') != std::string::npos) Fail(place, "contains a NUL character");
    return Wide(text);
}

std::wstring ExpectName(const Json& value, const std::string& place) {
    std::wstring name = ExpectText(value, place);
    if (name.empty()) Fail(place, "expected a non-empty name");
    return name;
}

double ExpectNumber(const Json& value, const std::string& place) {
    if (!value.is_number())
        Fail(place, std::string("expected a number, found ") + value.type_name());
    const double number = value.get<double>();
    if (!std::isfinite(number)) Fail(place, "the number is out of range");
    return number;
}

uint64_t ExpectUnsigned(const Json& value, const std::string& place, uint64_t maximum) {
    const std::string range = "expected an integer from 0 to " + std::to_string(maximum);
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        if (number <= maximum) return number;
    } else if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        const auto number = static_cast<uint64_t>(value.get<int64_t>());
        if (number <= maximum) return number;
    }
    Fail(place, range + ", found " + (value.is_number() ? value.dump() : value.type_name()));
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide;
    utf8::Decode(utf8, wide);
    return wide;
}

}  // namespace winport::json_input
