// GetFullPathNameW: Windows path arithmetic over the current directory on drive Z:.
#include <unistd.h>
#include <windows.h>

#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

#include "InjectedFailure.h"
#include "Paths.h"

namespace {

constexpr size_t kMaxPathCharacters = 32767;

struct SplitPath {
    std::wstring root;       // "Z:\", "\\server\share" or "\\.\"
    std::wstring base;       // components that precede the rest (from the current directory)
    std::wstring_view rest;  // what the caller gave after its root
};

std::wstring CurrentDirectory() {
    std::string buffer(256, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return L"Z:\\";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return winport::ToWindowsPath(buffer);
}

bool IsDrivePrefix(std::wstring_view path) {
    return path.size() >= 2 && path[1] == L':' && std::iswalpha(path[0]);
}

// "\\server\share" of a UNC path (or as much of it as there is) and the length it takes.
size_t UncRootLength(std::wstring_view path) {
    size_t server = path.find(L'\\', 2);
    if (server == std::wstring_view::npos) return path.size();
    size_t share = path.find(L'\\', server + 1);
    return share == std::wstring_view::npos ? path.size() : share;
}

// Root and preceding components of a normalized absolute path (the current directory).
SplitPath SplitAbsolute(std::wstring_view path) {
    SplitPath split;
    size_t rootLength = IsDrivePrefix(path) ? 3 : UncRootLength(path);
    rootLength = std::min(rootLength, path.size());
    split.root = std::wstring(path.substr(0, rootLength));
    if (IsDrivePrefix(split.root) && split.root.size() == 2) split.root += L'\\';
    split.base = std::wstring(path.substr(rootLength));
    return split;
}

SplitPath Classify(std::wstring_view path, const std::wstring& current) {
    if (path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\\\?\\", 0) == 0) {
        return {std::wstring(path.substr(0, 4)), L"", path.substr(4)};
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        size_t rootLength = UncRootLength(path);
        return {std::wstring(path.substr(0, rootLength)), L"", path.substr(rootLength)};
    }
    if (IsDrivePrefix(path)) {
        if (path.size() >= 3 && path[2] == L'\\') {
            return {std::wstring(path.substr(0, 3)), L"", path.substr(3)};
        }
        // Drive-relative: against the current directory when it is on that drive.
        SplitPath here = SplitAbsolute(current);
        if (IsDrivePrefix(here.root) && std::towupper(here.root[0]) == std::towupper(path[0])) {
            return {here.root, here.base, path.substr(2)};
        }
        return {std::wstring(path.substr(0, 2)) + L"\\", L"", path.substr(2)};
    }
    SplitPath here = SplitAbsolute(current);
    if (!path.empty() && path[0] == L'\\') return {here.root, L"", path.substr(1)};
    return {here.root, here.base, path};
}

void AddComponents(std::wstring_view text, std::vector<std::wstring>& components) {
    size_t position = 0;
    while (position <= text.size()) {
        size_t end = text.find(L'\\', position);
        if (end == std::wstring_view::npos) end = text.size();
        std::wstring_view component = text.substr(position, end - position);
        if (component == L"..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != L".") {
            components.emplace_back(component);
        }
        position = end + 1;
    }
}

std::wstring Resolve(std::wstring path, const std::wstring& current) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    SplitPath split = Classify(path, current);
    std::vector<std::wstring> components;
    AddComponents(split.base, components);
    AddComponents(split.rest, components);
    // Windows drops trailing dots and spaces of the last component.
    if (!components.empty()) {
        std::wstring& last = components.back();
        while (!last.empty() && (last.back() == L'.' || last.back() == L' ')) last.pop_back();
        if (last.empty()) components.pop_back();
    }
    std::wstring result = split.root;
    for (size_t i = 0; i < components.size(); ++i) {
        if (!result.empty() && result.back() != L'\\') result += L'\\';
        result += components[i];
    }
    const bool endsInSeparator = !path.empty() && path.back() == L'\\';
    if (endsInSeparator && !components.empty()) result += L'\\';
    return result;
}

}  // namespace

extern "C" WINPORT_API DWORD WINAPI GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength,
                                                     LPWSTR buffer, LPWSTR* filePart) {
    if (winport::InjectedFailure("GetFullPathNameW")) return 0;
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring_view given(fileName);
    if (given.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    // "\\?\" paths bypass all normalization.
    std::wstring result = given.rfind(L"\\\\?\\", 0) == 0
                              ? std::wstring(given)
                              : Resolve(std::wstring(given), CurrentDirectory());
    if (result.size() > kMaxPathCharacters) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (buffer == nullptr || bufferLength < result.size() + 1) {
        return static_cast<DWORD>(result.size() + 1);
    }
    std::wmemcpy(buffer, result.c_str(), result.size() + 1);
    if (filePart != nullptr) {
        size_t slash = result.rfind(L'\\');
        *filePart = slash == std::wstring::npos || slash + 1 == result.size() ? nullptr
                                                                              : buffer + slash + 1;
    }
    return static_cast<DWORD>(result.size());
}
