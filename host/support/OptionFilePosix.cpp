#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "OptionFile.h"
#include "UniqueFd.h"

namespace dorn {
namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

const std::string kTooLarge = "the file is larger than 64 MiB";

}  // namespace

bool ReadOptionFile(const std::filesystem::path& path, std::string& bytes, std::string& reason) {
    // Opened without blocking and then checked through the descriptor: opening a FIFO for
    // reading would otherwise wait for a writer, and a check of the path before the open could
    // be answered by another file than the one opened.
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        reason = SystemError("cannot open");
        return false;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        reason = SystemError("cannot read");
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(status.st_size) > kLargestOptionFile) {
        reason = kTooLarge;
        return false;
    }
    // The file may grow after fstat: read one byte past the limit to notice it.
    std::string content(static_cast<size_t>(status.st_size) + 1, '\0');
    size_t filled = 0;
    while (filled <= kLargestOptionFile) {
        if (filled == content.size()) {
            content.resize(std::min<size_t>(2 * filled, kLargestOptionFile + 1));
        }
        const ssize_t count = read(file.get(), content.data() + filled, content.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            reason = SystemError("cannot read");
            return false;
        }
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    if (filled > kLargestOptionFile) {
        reason = kTooLarge;
        return false;
    }
    content.resize(filled);
    bytes = std::move(content);
    return true;
}

}  // namespace dorn
