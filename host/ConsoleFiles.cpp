#include "ConsoleFiles.h"

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

}  // namespace

std::filesystem::path DefaultConsoleDirectory() {
    std::error_code failure;
    const std::filesystem::path executable =
        std::filesystem::read_symlink("/proc/self/exe", failure);
    return (failure ? std::filesystem::path(".") : executable.parent_path()) / "console";
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
