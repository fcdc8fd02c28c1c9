// The program's arguments as the UTF-8 text the command-line parser takes, without the program
// name.
#pragma once

#include <string>
#include <vector>

// False with `error` when an argument is not valid text.
bool ProgramArguments(int argc, char** argv, std::vector<std::string>& arguments,
                      std::string& error);
