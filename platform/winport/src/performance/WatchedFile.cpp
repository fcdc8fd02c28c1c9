#include "WatchedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace winport {
namespace {

// Counter and session files are small; this bounds what a wrong path can make us read.
constexpr off_t kMaxFileBytes = 64 * 1024 * 1024;

FileIdentity IdentityOf(const struct stat& info) {
    return FileIdentity{
        info.st_dev, info.st_ino, info.st_size,
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool ReadAll(int fd, std::string& text, std::string& reason) {
    char buffer[65536];
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            reason = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        if (static_cast<off_t>(text.size()) + got > kMaxFileBytes) {
            reason = "the file is larger than 64 MiB";
            return false;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace

bool ReadFileAndIdentity(const std::string& path, std::string& text, FileIdentity& identity,
                         std::string& reason) {
    // Non-blocking: a FIFO in the file's place must not hang the caller.
    Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        reason = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        reason = std::string("cannot read: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    identity = IdentityOf(info);
    text.clear();
    return ReadAll(file.get(), text, reason);
}

std::optional<FileIdentity> StatIdentity(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return IdentityOf(info);
}

void ReportFileProblem(const std::string& problem) {
    std::fprintf(stderr, "winport: %s\n", problem.c_str());
}

}  // namespace winport
