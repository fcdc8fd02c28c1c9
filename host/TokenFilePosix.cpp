#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TokenFile.h"
#include "UniqueFd.h"

namespace token_file {
namespace {

std::string SystemError(int code) {
    return std::strerror(code);
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

std::optional<std::filesystem::path> EnvironmentDirectory(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value != '/') return std::nullopt;  // relative ones are ignored
    return std::filesystem::path(value);
}

}  // namespace

bool RandomBytes(std::span<unsigned char> bytes, std::string& error) {
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

// $XDG_CONFIG_HOME/dorn/token, else $HOME/.config/dorn/token.
std::optional<std::filesystem::path> DefaultPath() {
    if (auto config = EnvironmentDirectory("XDG_CONFIG_HOME")) return *config / "dorn" / "token";
    if (auto home = EnvironmentDirectory("HOME")) return *home / ".config" / "dorn" / "token";
    return std::nullopt;
}

// The token is written to a private temporary file that is then linked into place.
Creation CreatePrivate(const std::filesystem::path& path, const std::string& content,
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
    if (fchmod(file.get(), 0600) != 0 || !WriteAll(file.get(), content)) {
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

Reading ReadPrivate(const std::filesystem::path& path, size_t limit, std::string& content,
                    std::string& error) {
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
    if (!CheckOwnership(status, path, error)) return Reading::Failed;
    content.assign(limit, '\0');
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
    return Reading::Read;
}

}  // namespace token_file
