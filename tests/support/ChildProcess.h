// Runs a program to completion and collects what it wrote, for end-to-end tests of dorn.
#pragma once

#include <string>
#include <vector>

namespace dorn::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program could not be started or was killed
    std::string out;
    std::string err;
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace dorn::test
