#include "CounterPath.h"

#include <unistd.h>

#include "CaseFold.h"
#include "Utf8.h"

namespace winport::pdh {
namespace {

// Where the instance of "Object(Instance)" opens, matched from the end; nullopt when the
// parentheses do not pair up.
std::optional<size_t> InstanceOpening(std::wstring_view objectPart) {
    int depth = 0;
    for (size_t i = objectPart.size(); i-- > 0;) {
        if (objectPart[i] == L')') ++depth;
        if (objectPart[i] == L'(' && --depth == 0) return i;
    }
    return std::nullopt;
}

}  // namespace

std::optional<CounterPath> ParseCounterPath(std::wstring_view path) {
    CounterPath parsed;
    if (path.substr(0, 2) == L"\\\\") {
        const size_t end = path.find(L'\\', 2);
        if (end == std::wstring_view::npos) return std::nullopt;
        parsed.machine = path.substr(2, end - 2);
        path.remove_prefix(end);
    }
    if (path.empty() || path.front() != L'\\') return std::nullopt;
    const size_t counterStart = path.rfind(L'\\');
    if (counterStart == 0) return std::nullopt;
    parsed.counter = path.substr(counterStart + 1);
    parsed.objectPart = path.substr(1, counterStart - 1);
    if (parsed.counter.empty() || parsed.objectPart.empty()) return std::nullopt;

    parsed.object = parsed.objectPart;
    if (parsed.objectPart.back() == L')') {
        // Without a pairing group the whole part can still name an object.
        const std::optional<size_t> opening = InstanceOpening(parsed.objectPart);
        if (opening && *opening > 0) {
            parsed.object = parsed.objectPart.substr(0, *opening);
            parsed.instance =
                parsed.objectPart.substr(*opening + 1, parsed.objectPart.size() - *opening - 2);
        }
    }
    return parsed;
}

bool IsLocalMachine(std::wstring_view machine) {
    if (machine.empty() || machine == L"." || EqualsIgnoringCase(machine, L"localhost"))
        return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    std::wstring name;
    utf8::Decode(host, name);
    return EqualsIgnoringCase(machine, name);
}

}  // namespace winport::pdh
