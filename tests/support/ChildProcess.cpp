#include "ChildProcess.h"

#include <sys/stat.h>

#include <chrono>

#include "ServeProcess.h"

namespace dorn::test {

// The same child as a served one, waited for to the end: one spawn and one drain of both pipes.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments) {
    ServeProcess child(program, arguments);
    ProcessResult result;
    result.exitCode = child.WaitForExit(std::chrono::hours(1)).value_or(-1);
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

std::vector<std::string> NonRegularFiles(const std::filesystem::path& directory) {
    const std::string pipe = (directory / "pipe").string();
    mkfifo(pipe.c_str(), 0600);  // when it fails, the missing file is refused otherwise
    return {pipe, "/dev/zero"};
}

}  // namespace dorn::test
