#include "CounterNameIndex.h"

#include <pdh.h>
#include <pdhmsg.h>

#include <algorithm>
#include <vector>

#include "LogMessage.h"

namespace {

constexpr const wchar_t* kPerflibEnglishNames =
    L"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009\\Counter";

}  // namespace

std::map<std::wstring, DWORD>& CounterNameIndex::Names() {
    static std::map<std::wstring, DWORD> names;
    return names;
}

std::map<std::wstring, DWORD> CounterNameIndex::Parse(
    const CORE::corestring<wchar_t>& multiString) {
    const std::vector<CORE::corestring<wchar_t>> parts = multiString.split(L'\0', false);
    std::map<std::wstring, DWORD> names;
    for (size_t pair = 0; pair < parts.size() / 2; ++pair) {
        names[parts[2 * pair + 1]] = static_cast<DWORD>(parts[2 * pair].toInt(true));
    }
    return names;
}

void CounterNameIndex::Build() {
    Names() = Parse(CORE::corestring<wchar_t>::readRegistry(kPerflibEnglishNames, L"", false));
}

std::optional<DWORD> CounterNameIndex::Find(const std::wstring& englishName) {
    const auto found = Names().find(englishName);
    if (found == Names().end()) return std::nullopt;
    return found->second;
}

size_t CounterNameIndex::Size() {
    return Names().size();
}

bool LocalizeCounterName(const std::wstring& englishName, std::wstring& displayName) {
    const std::optional<DWORD> index = CounterNameIndex::Find(englishName);
    if (!index) return true;

    DWORD size = 0;
    PDH_STATUS status = PdhLookupPerfNameByIndexW(nullptr, *index, nullptr, &size);
    if (status == ERROR_SUCCESS) return true;
    if (status != static_cast<PDH_STATUS>(PDH_MORE_DATA)) {
        LogMessage(CORE::SysMessageError,
                   L"Failed to lookup counter %s get name buffer size failed. error: 0x%x",
                   englishName.c_str(), static_cast<unsigned>(status));
        return false;
    }
    std::vector<wchar_t> buffer(size);
    status = PdhLookupPerfNameByIndexW(nullptr, *index, buffer.data(), &size);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to lookup counter name. error: 0x%x",
                   static_cast<unsigned>(status));
        return false;
    }
    displayName = std::wstring(buffer.begin(), std::find(buffer.begin(), buffer.end(), L'\0'));
    return true;
}
