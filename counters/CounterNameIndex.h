// The Perflib index of English counter and object names, read once when the library is
// loaded, and the translation of English names into the system's display language.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>

#include "quillmesh/corestring.h"

class CounterNameIndex {
  public:
    // Reads HKLM\Software\Microsoft\Windows NT\CurrentVersion\Perflib\009 "Counter". Called by
    // the load hook, before any other thread runs; read-only afterwards. The index goes with
    // the library when it is unloaded.
    static void Build();

    // "index\0name\0index\0name..." as the registry reader returns it: a name that comes again
    // takes its last index; an index without a name is ignored.
    static std::map<std::wstring, DWORD> Parse(const CORE::corestring<wchar_t>& multiString);

    // The index of an English name (exact, case-sensitive).
    static std::optional<DWORD> Find(const std::wstring& englishName);
    static size_t Size();

  private:
    static std::map<std::wstring, DWORD>& Names();
};

// `displayName` (already the English name) becomes the name in the display language. A name
// without an index stays as it is and succeeds; a failed lookup logs, keeps the English name
// and fails.
bool LocalizeCounterName(const std::wstring& englishName, std::wstring& displayName);
