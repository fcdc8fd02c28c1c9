#include "JsonInput.h"

#include <algorithm>
#include <cctype>
#include <cmath>

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

}  // namespace

bool Parse(std::string_view text, Json& document, std::string& reason) {
    try {
        document = Json::parse(text.begin(), text.end());
        return true;
    } catch (const Json::exception& error) {
        reason = WithoutExceptionTag(error.what());
        return false;
    }
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
            Fail(place.empty() ? key : Member(place, key), "unknown member");
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
