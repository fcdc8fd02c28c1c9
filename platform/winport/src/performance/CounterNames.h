// Names of counter objects and counters: the English Perflib index (each name keeps the index
// it was first given, so the index in the registry stays valid while names are added) and the
// display language a test may select.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winport::pdh {

class CounterNames {
  public:
    static CounterNames& Instance();

    // Gives each new name the next free index; true when one was new.
    bool Register(const std::vector<std::wstring>& englishNames);

    // Writes HKLM\Software\Microsoft\Windows NT\CurrentVersion\Perflib\009 "Counter" as
    // REG_MULTI_SZ "index\0name\0index\0name\0...\0".
    void WriteRegistry() const;

    // The name of an index in the display language.
    std::optional<std::wstring> DisplayNameOf(DWORD index) const;
    // The name in the display language.
    std::wstring DisplayName(const std::wstring& englishName) const;
    // The English name a display name stands for. An English name that reads otherwise in the
    // display language is not a display name (nullopt), as on a localized Windows.
    std::optional<std::wstring> EnglishName(std::wstring_view displayName) const;

    // English name -> display name; empty: English.
    void SetTranslation(std::map<std::wstring, std::wstring> translation);

  private:
    CounterNames() = default;

    mutable std::mutex lock_;
    DWORD nextIndex_ = 2;  // even indices, as Windows gives names (odd ones are help texts)
    std::map<std::wstring, DWORD> indices_;
    std::map<DWORD, std::wstring> names_;
    std::map<std::wstring, std::wstring> translation_;
};

}  // namespace winport::pdh
