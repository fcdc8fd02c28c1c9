#include "SessionRegistryKey.h"

#include <windows.h>

#include <algorithm>

#include "LogMessage.h"
#include "RegistryValueText.h"

namespace {

// The patterns hold one "%d"; substituting it is all the printf formatting they need.
std::wstring FormatSessionPath(const wchar_t* pattern, int32_t sessionId) {
    std::wstring path(pattern);
    const size_t placeholder = path.find(L"%d");
    if (placeholder != std::wstring::npos) path.replace(placeholder, 2, std::to_wstring(sessionId));
    return path;
}

// Text up to the first NUL or the end of the characters given.
std::wstring TextUpToNul(const wchar_t* data, size_t characters) {
    return std::wstring(data, std::find(data, data + characters, L'\0'));
}

}  // namespace

bool SessionRegistryKey::Open(const wchar_t* pathPattern) {
    if (m_key) return true;
    const std::wstring path = FormatSessionPath(pathPattern, m_sessionId);
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, m_key.put());
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to open registry for sessionId=%d, error: 0x%x",
                   m_sessionId, status);
        return false;
    }
    return true;
}

bool SessionRegistryKey::ReadValue(const wchar_t* pathPattern, const wchar_t* valueName,
                                   std::wstring& text) {
    if (!Open(pathPattern)) return false;

    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(m_key.get(), valueName, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError,
                   L"Failed to get value length for value name %s, error: 0x%x", valueName, status);
        return false;
    }
    // As many characters as the value has bytes: room to spare for a missing terminator.
    std::vector<wchar_t> buffer(size);
    DWORD type = REG_NONE;
    status = RegQueryValueExW(m_key.get(), valueName, nullptr, &type,
                              reinterpret_cast<LPBYTE>(buffer.data()), &size);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to get value for value name %s, error: 0x%x",
                   valueName, status);
        return false;
    }
    text = RegistryValueText(type, reinterpret_cast<const BYTE*>(buffer.data()),
                             std::min<size_t>(size, buffer.size() * sizeof(wchar_t)));
    return true;
}

bool SessionRegistryKey::EnumerateStringValues(StringValueList& values) {
    DWORD valueCount = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    const LSTATUS status =
        RegQueryInfoKeyW(m_key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &valueCount, &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        LogMessage(CORE::SysMessageError, L"Failed to query registry for session data, error: 0x%x",
                   status);
        return false;
    }

    std::vector<wchar_t> name(longestName + 1);
    std::vector<wchar_t> data(longestData / sizeof(wchar_t) + 2);
    for (DWORD index = 0; index < valueCount; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = REG_NONE;
        const LSTATUS result =
            RegEnumValueW(m_key.get(), index, name.data(), &nameLength, nullptr, &type,
                          reinterpret_cast<LPBYTE>(data.data()), &dataLength);
        if (result != ERROR_SUCCESS) {
            LogMessage(CORE::SysMessageError,
                       L"Failed to enum registry for session data, error: 0x%x", result);
            continue;
        }
        if (type != REG_SZ) continue;

        std::wstring valueName =
            TextUpToNul(name.data(), std::min<size_t>(nameLength, name.size()));
        std::wstring value = TextUpToNul(data.data(), dataLength / sizeof(wchar_t));
        LogMessage(CORE::SysMessageDebug, L"Session property: %s, value: %s", valueName.c_str(),
                   value.c_str());
        values.emplace_back(std::move(valueName), std::move(value));
    }
    return true;
}
