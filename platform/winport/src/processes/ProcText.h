// Reading the text of /proc files: lines, blank-separated words, and whole decimal numbers.
#pragma once

#include <charconv>
#include <string_view>
#include <vector>

namespace winport::proctext {

// Calls `visit(line)` for every line, without its '\n'.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos) end = text.size();
        visit(text.substr(position, end - position));
        position = end + 1;
    }
}

// The first word of `text` (blank-separated), removed from it; empty when none is left.
inline std::string_view NextWord(std::string_view& text) {
    const size_t start = text.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    size_t end = text.find_first_of(" \t\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

// Splits on runs of blanks (spaces, tabs and line ends).
inline std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t position = 0;
    while (position < text.size()) {
        const size_t start = text.find_first_not_of(" \t\n", position);
        if (start == std::string_view::npos) break;
        size_t end = text.find_first_of(" \t\n", start);
        if (end == std::string_view::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        position = end;
    }
    return words;
}

// True when the whole text is the number.
template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace winport::proctext
