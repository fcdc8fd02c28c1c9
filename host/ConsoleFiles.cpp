#include "ConsoleFiles.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <array>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

// Larger than any page file; a bigger one is not served rather than read into memory.
constexpr std::uintmax_t kLargestFile = 16 * 1024 * 1024;

struct ContentKind {
    const char* extension;
    const char* contentType;
};

constexpr std::array<ContentKind, 5> kServedKinds = {{
    {".html", "text/html"},
    {".js", "text/javascript"},
    {".css", "text/css"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
}};

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name.front() == '.') return false;  // also "." and ".."
    for (const char c : name) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

const char* ContentTypeOf(const std::string& name) {
    for (const ContentKind& kind : kServedKinds) {
        const std::string extension = kind.extension;
        if (name.size() > extension.size() &&
            name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
            return kind.contentType;
        }
    }
    return nullptr;
}

std::optional<std::filesystem::path> ExecutablePath() {
#if defined(_WIN32)
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::nullopt;
        if (length < path.size()) return std::filesystem::path(path.substr(0, length));
        path.resize(path.size() * 2);  // truncated: a long path
    }
#else
    std::error_code failure;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (failure) return std::nullopt;
    return executable;
#endif
}

}  // namespace

std::filesystem::path DefaultConsoleDirectory() {
    const std::optional<std::filesystem::path> executable = ExecutablePath();
    return (executable ? executable->parent_path() : std::filesystem::path(".")) / "console";
}

std::optional<ConsoleFile> ReadConsoleFile(const std::filesystem::path& directory,
                                           const std::string& name) {
    const char* contentType = ContentTypeOf(name);
    if (!IsPlainFileName(name) || contentType == nullptr) return std::nullopt;
    const std::filesystem::path path = directory / name;
    std::error_code failure;
    const std::uintmax_t size = std::filesystem::file_size(path, failure);
    if (failure || !std::filesystem::is_regular_file(path, failure) || size > kLargestFile) {
        return std::nullopt;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    ConsoleFile file{std::string(std::istreambuf_iterator<char>(stream), {}), contentType};
    if (stream.bad()) return std::nullopt;
    return file;
}
