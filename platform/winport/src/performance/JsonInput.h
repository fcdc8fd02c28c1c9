// Reading the JSON files other processes write for winport (counter files, sessions files):
// parsing, and checks that name the offending place ("objects[1].counters[0]: ...").
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace winport::json_input {

// Ordered: instances are listed in the order the file gives them.
using Json = nlohmann::ordered_json;

// A check that failed; the message names the place and the reason.
class InvalidInput : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The document, or false with the parser's reason ("parse error at line 2, column 7: ...").
bool Parse(std::string_view text, Json& document, std::string& reason);

// Where a value sits in the document, for messages.
std::string Member(const std::string& place, const std::string& key);
std::string Element(const std::string& place, size_t index);

// The checks throw InvalidInput.
void ExpectObject(const Json& value, const std::string& place);
void ExpectArray(const Json& value, const std::string& place);
// Only these members may appear.
void ExpectOnlyMembers(const Json& value, const std::string& place,
                       const std::vector<std::string>& allowed);
const Json& RequiredMember(const Json& value, const std::string& key, const std::string& place);
// A non-empty string without NUL characters, as wide text.
std::wstring ExpectName(const Json& value, const std::string& place);
std::wstring ExpectText(const Json& value, const std::string& place);
// A finite number.
double ExpectNumber(const Json& value, const std::string& place);
// An integer in [0, maximum].
uint64_t ExpectUnsigned(const Json& value, const std::string& place, uint64_t maximum);

std::wstring Wide(const std::string& utf8);

}  // namespace winport::json_input
