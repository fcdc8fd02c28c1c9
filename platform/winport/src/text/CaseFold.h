// Case folding for names that Windows compares without regard to case (registry keys and
// values, CharLowerW). Fixed to the C.UTF-8 character classes, so the process locale never
// changes which names are equal.
#pragma once

#include <string>
#include <string_view>

namespace winport {

wchar_t FoldCase(wchar_t c);

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

// The name with every character folded: equal for names that EqualsIgnoringCase holds equal,
// so it can key a hash table.
std::wstring Folded(std::wstring_view name);

}  // namespace winport
