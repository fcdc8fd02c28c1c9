// Child processes on Windows: CreateProcessW with the output and error streams on pipes.
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>

#include "UniqueHandle.h"
#include "ChildProcess.h"
#include "TextConvert.h"

namespace dorn::test {
namespace {

// The read end stays in this process; only the write end can be inherited.
bool MakePipe(UniqueHandle& read, UniqueHandle& write) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(read.put(), write.put(), &inheritable, 0)) return false;
    return SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
}

// One argument as CommandLineToArgvW and the C runtime split it again: quoted when it holds
// blanks or quotes, with backslashes doubled where a quote follows them.
std::wstring Quote(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

void ReadAll(HANDLE pipe, std::string& sink) {
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
        sink.append(buffer, count);
    }
}

// Children inherit every inheritable handle open at the moment they start: two starting at
// once would each hold the other's pipe open and never see its end.
std::mutex& StartLock() {
    static std::mutex lock;
    return lock;
}

bool Start(const std::string& program, const std::vector<std::string>& arguments, HANDLE out,
           HANDLE err, PROCESS_INFORMATION& started) {
    std::wstring commandLine = Quote(quillmesh::WideFromUtf8Lossy(program));
    for (const std::string& argument : arguments)
        commandLine += L" " + Quote(quillmesh::WideFromUtf8Lossy(argument));

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = out;
    startup.hStdError = err;
    const std::wstring application = quillmesh::WideFromUtf8Lossy(program);
    return CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          nullptr, nullptr, &startup, &started) != FALSE;
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments) {
    ProcessResult result;
    UniqueHandle outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) return result;

    PROCESS_INFORMATION started{};
    {
        std::lock_guard<std::mutex> hold(StartLock());
        const bool ok = Start(program, arguments, outWrite.get(), errWrite.get(), started);
        // Only the child holds the write ends now: its exit ends the reads.
        outWrite.reset();
        errWrite.reset();
        if (!ok) return result;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);

    std::thread errors([&] { ReadAll(errRead.get(), result.err); });
    ReadAll(outRead.get(), result.out);
    errors.join();

    DWORD code = 0;
    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.get(), &code)) {
        // An exception status (0xC...) is a crash, not an exit.
        if (code < 0xC0000000u) result.exitCode = static_cast<int>(code);
    }
    return result;
}

std::vector<std::string> NonRegularFiles(const std::filesystem::path&) {
    return {"NUL"};  // the null device
}

}  // namespace dorn::test
