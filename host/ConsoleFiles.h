// The console page's files, served from one directory: plain file names only, and only the
// kinds of file a page is made of.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

struct ConsoleFile {
    std::string content;
    std::string contentType;
};

// "console" beside the running executable.
std::filesystem::path DefaultConsoleDirectory();

// The file `name` of `directory`; none when the name is not a plain file name
// ([A-Za-z0-9._-]+, not starting with a dot), its kind is not served, or it cannot be read.
std::optional<ConsoleFile> ReadConsoleFile(const std::filesystem::path& directory,
                                           const std::string& name);
