#include <windows.h>

#include <algorithm>

#include "OptionFile.h"
#include "UniqueHandle.h"

namespace dorn {
namespace {

std::string SystemError(const char* what, DWORD code = GetLastError()) {
    return std::string(what) + " (error " + std::to_string(code) + ")";
}

const std::string kTooLarge = "the file is larger than 64 MiB";

}  // namespace

bool ReadOptionFile(const std::filesystem::path& path, std::string& bytes, std::string& reason) {
    // A directory does not open without backup semantics (it is told apart afterwards); a pipe
    // or a device opens without waiting, and is refused by its type before anything is read.
    UniqueHandle file(CreateFileW(path.wstring().c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        reason = directory ? "not a regular file" : SystemError("cannot open", code);
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        reason = "not a regular file";
        return false;
    }
    if (!GetFileSizeEx(file.get(), &size)) {
        reason = SystemError("cannot read");
        return false;
    }
    if (static_cast<uint64_t>(size.QuadPart) > kLargestOptionFile) {
        reason = kTooLarge;
        return false;
    }
    const BoundedRead read = ReadBounded(
        static_cast<uint64_t>(size.QuadPart),
        [&](char* buffer, size_t room) -> int64_t {
            DWORD count = 0;
            if (!ReadFile(file.get(), buffer, static_cast<DWORD>(room), &count, nullptr)) return -1;
            return count;
        },
        bytes);
    if (read == BoundedRead::kFailed) reason = SystemError("cannot read");
    if (read == BoundedRead::kTooLarge) reason = kTooLarge;
    return read == BoundedRead::kRead;
}

}  // namespace dorn
