#include "Paths.h"

#include "Utf8.h"

namespace winport {
namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// The part of a Windows path below the root of drive Z:, separator included, or nullopt for a
// path that does not lie on Z:.
std::optional<std::wstring_view> RootedOnDriveZ(std::wstring_view path) {
    constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
    if (path.substr(0, kLongPrefix.size()) == kLongPrefix) path.remove_prefix(kLongPrefix.size());
    if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == L':') {
        if (path[0] != L'z' && path[0] != L'Z') return std::nullopt;
        path.remove_prefix(2);
        if (path.empty()) return L"/";
        if (!IsSeparator(path[0])) return std::nullopt;  // "Z:dir": relative to a drive's cwd
        return path;
    }
    if (path.empty() || !IsSeparator(path[0])) return std::nullopt;  // relative
    if (path.substr(0, 2) == L"\\\\") return std::nullopt;           // UNC "\\server\share"
    return path;
}

}  // namespace

std::wstring ToWindowsPath(std::string_view linuxPath) {
    std::wstring wide;
    utf8::Decode(linuxPath, wide, utf8::Malformed::Escape);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (!wide.empty() && wide[0] == L'\\') wide.insert(0, L"Z:");
    return wide;
}

std::optional<std::string> ToLinuxPath(std::wstring_view windowsPath) {
    if (windowsPath.find(L'\0') != std::wstring_view::npos) return std::nullopt;
    const std::optional<std::wstring_view> rooted = RootedOnDriveZ(windowsPath);
    if (!rooted) return std::nullopt;
    std::wstring slashed(*rooted);
    for (wchar_t& c : slashed) {
        if (c == L'\\') c = L'/';
    }
    std::string linuxPath;
    if (!utf8::Encode(slashed, linuxPath, utf8::Malformed::Escape)) return std::nullopt;
    return linuxPath;
}

}  // namespace winport
