#include "ChildProcess.h"

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

}  // namespace dorn::test
