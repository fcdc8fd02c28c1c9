// Runs a program to completion and collects what it wrote, for end-to-end tests of dorn.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dorn::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program could not be started or was killed
    std::string out;
    std::string err;
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments);

// Paths a program could be given where it expects a file, that are no regular file: a pipe
// without a writer (made in `directory`) and an endless device.
std::vector<std::string> NonRegularFiles(const std::filesystem::path& directory);

}  // namespace dorn::test
