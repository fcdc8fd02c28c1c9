#include "AccessToken.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Utf8Path.h"
#include "UniqueFd.h"

namespace {

constexpr size_t kSecretBytes = 32;
constexpr size_t kTokenLength = kSecretBytes * 2;
// A token file is tiny; anything longer than a token and a line break is not one.
constexpr size_t kLongestFile = kTokenLength + 2;

std::string Describe(const std::filesystem::path& path) {
    return "token file " + Utf8FromPath(path);
}

std::string SystemError(int code) {
    return std::strerror(code);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool RandomBytes(std::array<unsigned char, kSecretBytes>& bytes, std::string& error) {
    size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (count < 0) {
            if (errno == EINTR) continue;
            error = "cannot get random bytes from the system: " + SystemError(errno);
            return false;
        }
        filled += static_cast<size_t>(count);
    }
    return true;
}

bool NewToken(std::string& token, std::string& error) {
    std::array<unsigned char, kSecretBytes> bytes{};
    if (!RandomBytes(bytes, error)) return false;
    constexpr const char* kDigits = "0123456789abcdef";
    token.clear();
    for (const unsigned char byte : bytes) {
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0xf];
    }
    return true;
}

// Missing directories on the way to `directory` are made for the owner only.
bool MakeDirectories(const std::filesystem::path& directory, std::string& error) {
    std::filesystem::path partial;
    for (const std::filesystem::path& part : directory) {
        partial /= part;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error =
                "cannot make the directory " + Utf8FromPath(partial) + ": " + SystemError(errno);
            return false;
        }
    }
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(fd, text.data() + written, text.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<size_t>(count);
    }
    return fsync(fd) == 0;
}

// The token is written to a private temporary file that is then linked into place, so the file
// appears whole or not at all, and a file that another start made first is kept.
enum class Creation { Created, Exists, Failed };

Creation CreateTokenFile(const std::filesystem::path& path, const std::string& token,
                         std::string& error) {
    const std::filesystem::path directory = path.parent_path().empty() ? "." : path.parent_path();
    if (!MakeDirectories(directory, error)) return Creation::Failed;
    std::string temporary = (directory / ".dorn-token-XXXXXX").string();
    const UniqueFd file(mkostemp(temporary.data(), O_CLOEXEC));  // mode 0600
    if (!file) {
        error = "cannot create " + Describe(path) + ": " + SystemError(errno);
        return Creation::Failed;
    }
    Creation outcome = Creation::Created;
    if (fchmod(file.get(), 0600) != 0 || !WriteAll(file.get(), token)) {
        error = "cannot write " + Describe(path) + ": " + SystemError(errno);
        outcome = Creation::Failed;
    } else if (link(temporary.c_str(), path.c_str()) != 0) {
        outcome = errno == EEXIST ? Creation::Exists : Creation::Failed;
        if (outcome == Creation::Failed) {
            error = "cannot create " + Describe(path) + ": " + SystemError(errno);
        }
    }
    unlink(temporary.c_str());
    return outcome;
}

bool CheckOwnership(const struct stat& status, const std::filesystem::path& path,
                    std::string& error) {
    if (!S_ISREG(status.st_mode)) {
        error = Describe(path) + " is not a regular file";
        return false;
    }
    if (status.st_uid != geteuid()) {
        error = Describe(path) + " belongs to another user";
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        error = Describe(path) + " is open to other users (mode " + mode +
                "); allow its owner only: chmod 600 " + Utf8FromPath(path);
        return false;
    }
    return true;
}

bool ParseToken(std::string content, const std::filesystem::path& path, std::string& token,
                std::string& error) {
    if (!content.empty() && content.back() == '\n') content.pop_back();
    bool valid = content.size() == kTokenLength;
    for (const char c : content) valid = valid && IsHex(c);
    if (!valid) {
        error = Describe(path) + " does not hold a token of " + std::to_string(kTokenLength) +
                " hexadecimal characters";
        return false;
    }
    token = std::move(content);
    return true;
}

enum class Reading { Read, Missing, Failed };

Reading ReadTokenFile(const std::filesystem::path& path, std::string& token, std::string& error) {
    // Non-blocking, so that a FIFO put in its place cannot stall the start.
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        if (errno == ENOENT) return Reading::Missing;
        error = "cannot open " + Describe(path) + ": " + SystemError(errno);
        return Reading::Failed;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        error = "cannot read " + Describe(path) + ": " + SystemError(errno);
        return Reading::Failed;
    }
    if (!S_ISREG(status.st_mode)) {
        error = Describe(path) + " is not a regular file";
        return Reading::Failed;
    }
    if (!CheckOwnership(status, path, error)) return Reading::Failed;
    std::string content(kLongestFile + 1, '\0');
    size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t count = read(file.get(), content.data() + filled, content.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            error = "cannot read " + Describe(path) + ": " + SystemError(errno);
            return Reading::Failed;
        }
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    content.resize(filled);
    return ParseToken(std::move(content), path, token, error) ? Reading::Read : Reading::Failed;
}

std::optional<std::filesystem::path> EnvironmentDirectory(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value != '/') return std::nullopt;  // relative ones are ignored
    return std::filesystem::path(value);
}

}  // namespace

std::optional<std::filesystem::path> DefaultTokenPath() {
    if (auto config = EnvironmentDirectory("XDG_CONFIG_HOME")) return *config / "dorn" / "token";
    if (auto home = EnvironmentDirectory("HOME")) return *home / ".config" / "dorn" / "token";
    return std::nullopt;
}

bool LoadOrCreateToken(const std::filesystem::path& path, std::string& token, std::string& error) {
    switch (ReadTokenFile(path, token, error)) {
        case Reading::Read:
            return true;
        case Reading::Failed:
            return false;
        case Reading::Missing:
            break;
    }
    std::string fresh;
    if (!NewToken(fresh, error)) return false;
    switch (CreateTokenFile(path, fresh, error)) {
        case Creation::Created:
            token = std::move(fresh);
            return true;
        case Creation::Exists:  // another start was quicker: its token is the one
            if (ReadTokenFile(path, token, error) == Reading::Read) return true;
            if (error.empty()) error = Describe(path) + " vanished while it was made";
            return false;
        case Creation::Failed:
            break;
    }
    return false;
}

bool TokensEqual(std::string_view given, std::string_view expected) {
    if (given.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return difference == 0;
}
