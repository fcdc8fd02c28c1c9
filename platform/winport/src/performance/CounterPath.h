// Counter paths: "\Object(Instance)\Counter", "\Object\Counter", optionally preceded by
// "\\Machine". Instance names may hold parentheses of their own ("Session ID: 3; (main)"):
// the instance is the last parenthesized group of the object part, matched from its end.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace winport::pdh {

struct CounterPath {
    std::wstring machine;     // empty: this machine
    std::wstring objectPart;  // everything between the machine and the counter
    std::wstring object;      // objectPart without the instance
    std::optional<std::wstring> instance;
    std::wstring counter;
};

// nullopt when the text is not a counter path.
std::optional<CounterPath> ParseCounterPath(std::wstring_view path);

// True when the machine part names this machine (empty, ".", "localhost" or the host name).
bool IsLocalMachine(std::wstring_view machine);

}  // namespace winport::pdh
