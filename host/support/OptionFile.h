// Files named on dorn's command line (.reg files): read whole, but only a regular file of
// bounded size, so that a directory, a pipe or a device given by mistake is refused with a
// reason instead of hanging the start or exhausting memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

namespace dorn {

inline constexpr uint64_t kLargestOptionFile = 64 * 1024 * 1024;

// The whole file in `bytes`. False with `reason` when it cannot be taken: "not a regular
// file", "the file is larger than 64 MiB", "cannot open: ...". The file is opened once and
// checked through the opened handle, so what is checked is what is read.
bool ReadOptionFile(const std::filesystem::path& path, std::string& bytes, std::string& reason);

enum class BoundedRead { kRead, kFailed, kTooLarge };

// The rest of a checked option file, through `readSome(buffer, room)`: the bytes read, 0 at the
// end, or -1 when reading failed (the caller knows why). `checkedSize` is the size the check
// saw; the file may have grown since, so one byte past the limit is read to notice it.
template <typename ReadSome>
BoundedRead ReadBounded(uint64_t checkedSize, ReadSome readSome, std::string& bytes) {
    std::string content(static_cast<size_t>(checkedSize) + 1, '\0');
    size_t filled = 0;
    while (filled <= kLargestOptionFile) {
        if (filled == content.size()) {
            content.resize(std::min<size_t>(2 * filled, kLargestOptionFile + 1));
        }
        const int64_t count = readSome(content.data() + filled, content.size() - filled);
        if (count < 0) return BoundedRead::kFailed;
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    if (filled > kLargestOptionFile) return BoundedRead::kTooLarge;
    content.resize(filled);
    bytes = std::move(content);
    return BoundedRead::kRead;
}

}  // namespace dorn
