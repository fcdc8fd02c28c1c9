#include "CounterNames.h"

#include "CaseFold.h"

namespace winport::pdh {
namespace {

constexpr wchar_t kPerflibKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";
constexpr wchar_t kCounterValue[] = L"Counter";

std::wstring MultiString(const std::map<DWORD, std::wstring>& names) {
    std::wstring text;
    for (const auto& [index, name] : names) {
        text += std::to_wstring(index);
        text.push_back(L'\0');
        text += name;
        text.push_back(L'\0');
    }
    text.push_back(L'\0');
    return text;
}

}  // namespace

CounterNames& CounterNames::Instance() {
    // Never destroyed: PDH calls made from other libraries' destructors still find it.
    static auto* names = new CounterNames();
    return *names;
}

bool CounterNames::Register(const std::vector<std::wstring>& englishNames) {
    std::lock_guard lock(lock_);
    bool added = false;
    for (const std::wstring& name : englishNames) {
        if (indices_.count(name) != 0) continue;
        indices_.emplace(name, nextIndex_);
        names_.emplace(nextIndex_, name);
        nextIndex_ += 2;
        added = true;
    }
    return added;
}

void CounterNames::WriteRegistry() const {
    std::wstring text;
    {
        std::lock_guard lock(lock_);
        text = MultiString(names_);
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPerflibKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key, kCounterValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(text.data()),
                   static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::optional<std::wstring> CounterNames::DisplayNameOf(DWORD index) const {
    std::lock_guard lock(lock_);
    const auto found = names_.find(index);
    if (found == names_.end()) return std::nullopt;
    const auto translated = translation_.find(found->second);
    return translated != translation_.end() ? translated->second : found->second;
}

std::wstring CounterNames::DisplayName(const std::wstring& englishName) const {
    std::lock_guard lock(lock_);
    const auto translated = translation_.find(englishName);
    return translated != translation_.end() ? translated->second : englishName;
}

std::optional<std::wstring> CounterNames::EnglishName(std::wstring_view displayName) const {
    std::lock_guard lock(lock_);
    for (const auto& [english, display] : translation_) {
        if (EqualsIgnoringCase(display, displayName)) return english;
    }
    for (const auto& [english, display] : translation_) {
        if (EqualsIgnoringCase(english, displayName)) return std::nullopt;
    }
    return std::wstring(displayName);
}

void CounterNames::SetTranslation(std::map<std::wstring, std::wstring> translation) {
    std::lock_guard lock(lock_);
    translation_ = std::move(translation);
}

}  // namespace winport::pdh
