// On Windows the narrow argv is the command line in the ANSI code page, which loses what it
// cannot represent: the arguments are read again from the UTF-16 command line.
#include "ProgramArguments.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "quillmesh/corestring.h"

namespace {

struct LocalFreeDeleter {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

}  // namespace

bool ProgramArguments(int, char**, std::vector<std::string>& arguments, std::string& error) {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> wide(
        CommandLineToArgvW(GetCommandLineW(), &count));
    if (!wide) {
        error = "cannot read the command line (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    arguments.clear();
    for (int i = 1; i < count; ++i) {
        std::string text;
        if (!CORE::detail::NarrowFromWide(wide.get()[i], CP_UTF8, text)) {
            error = "argument " + std::to_string(i) + " is not valid UTF-16 text";
            return false;
        }
        arguments.push_back(std::move(text));
    }
    return true;
}
