// Arguments arrive as the bytes the caller passed; file names among them must stay byte for
// byte, so nothing is converted here.
#include "ProgramArguments.h"

bool ProgramArguments(int argc, char** argv, std::vector<std::string>& arguments, std::string&) {
    arguments.assign(argv + 1, argv + argc);
    return true;
}
