// File names to and from the UTF-8 text of the command line and of messages. A path made from a
// narrow string takes it in the ANSI code page on Windows, which is not UTF-8 and cannot hold
// every name.
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
