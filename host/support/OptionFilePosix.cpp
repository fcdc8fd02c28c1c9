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
    const BoundedRead read = ReadBounded(
        static_cast<uint64_t>(status.st_size),
        [&](char* buffer, size_t room) -> int64_t {
            while (true) {
                const ssize_t count = ::read(file.get(), buffer, room);
                if (count >= 0 || errno != EINTR) return count;
            }
        },
        bytes);
    if (read == BoundedRead::kFailed) reason = SystemError("cannot read");
    if (read == BoundedRead::kTooLarge) reason = kTooLarge;
    return read == BoundedRead::kRead;
}

}  // namespace dorn
