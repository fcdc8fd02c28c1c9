// The registry key that other agent components write for one user session, opened on demand
// from a path pattern holding "%d" and closed when the object ends.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ScopedRegKey.h"

constexpr const wchar_t* kSessionDataPattern = L"Software\\Zentavo\\Pallido\\SessionData\\%d";
constexpr const wchar_t* kVexelTelemetryPattern =
    L"Software\\Zentavo\\Pallido\\Vexel\\Telemetry\\%d";

using StringValueList = std::vector<std::pair<std::wstring, std::wstring>>;

class SessionRegistryKey {
  public:
    explicit SessionRegistryKey(int32_t sessionId) : m_sessionId(sessionId) {}

    // Opens the session's key of the local machine; an open key is kept and the pattern ignored.
    bool Open(const wchar_t* pathPattern);
    // One value as text: a string type as its text, any other type as its bytes read as UTF-16.
    bool ReadValue(const wchar_t* pathPattern, const wchar_t* valueName, std::wstring& text);
    // Every REG_SZ value of the opened key, in the registry's enumeration order.
    bool EnumerateStringValues(StringValueList& values);

  private:
    int32_t m_sessionId;
    ScopedRegKey m_key;
};
