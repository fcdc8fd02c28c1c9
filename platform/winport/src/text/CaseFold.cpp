#include "CaseFold.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

namespace winport {
namespace {

locale_t FoldingLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

wchar_t FoldCase(wchar_t c) {
    if (c < 0x80) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
    const locale_t locale = FoldingLocale();
    return static_cast<wchar_t>(locale != static_cast<locale_t>(0) ? towlower_l(c, locale)
                                                                   : towlower(c));
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](wchar_t x, wchar_t y) { return x == y || FoldCase(x) == FoldCase(y); });
}

std::wstring Folded(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded) c = FoldCase(c);
    return folded;
}

}  // namespace winport
