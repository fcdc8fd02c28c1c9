// Files named on dorn's command line (.reg files): read whole, but only a regular file of
// bounded size, so that a directory, a pipe or a device given by mistake is refused with a
// reason instead of hanging the start or exhausting memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace dorn {

inline constexpr uint64_t kLargestOptionFile = 64 * 1024 * 1024;

// The whole file in `bytes`. False with `reason` when it cannot be taken: "not a regular
// file", "the file is larger than 64 MiB", "cannot open: ...". The file is opened once and
// checked through the opened handle, so what is checked is what is read.
bool ReadOptionFile(const std::filesystem::path& path, std::string& bytes, std::string& reason);

}  // namespace dorn
