// Children by CreateProcessW, and the system's own sources, for the process tests on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include "SystemFunction.h"
#include "UniqueHandle.h"
#include "TestProcesses.h"

namespace dorn::test {

Program Sleeper() {
    return {(OwnExecutable().parent_path() / "process_test_sleeper.exe").string(), {"30"}};
}

Program Spinner() {
    return {Sleeper().path, {"spin", "30"}};
}

TestChild::TestChild(const Program& program, const ChildOptions& options) {
    if (options.uid || options.pid) {
        ADD_FAILURE() << "another account or a chosen id: Linux only";
        return;
    }
    const std::wstring path = std::filesystem::path(program.path).wstring();
    std::wstring commandLine = L"\"" + path + L"\"";  // the arguments need no quotes
    for (const std::string& word : program.arguments)
        commandLine += L" " + std::wstring(word.begin(), word.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // Detached: the child must not hold the test's output (a pipe under CTest) open.
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &started)) {
        ADD_FAILURE() << "cannot start " << program.path << ", error " << GetLastError();
        return;
    }
    UniqueHandle thread(started.hThread);
    m_process.reset(started.hProcess);
    m_pid = started.dwProcessId;
}

TestChild::~TestChild() {
    Kill();
}

void TestChild::Kill() {
    if (!m_process) return;
    if (!m_ended) TerminateProcess(m_process.get(), 1);
    WaitEnded(10000);
    m_process.reset();
    m_ended = true;
    // Wine lets the id go some 0.5 s after the last handle closed; until then the ended process
    // can still be opened.
    for (int i = 0; i < 500; ++i) {
        UniqueHandle again(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, m_pid));
        DWORD code = 0;
        if (!again || (GetExitCodeProcess(again.get(), &code) && code == STILL_ACTIVE)) break;
        Sleep(10);
    }
}

bool TestChild::WaitEnded(int timeoutMs) {
    if (m_process && !m_ended) {
        m_ended =
            WaitForSingleObject(m_process.get(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
    }
    return m_ended;
}

std::wstring WindowsPath(const std::filesystem::path& path) {
    return std::filesystem::path(path).make_preferred().wstring();
}

std::filesystem::path OwnExecutable() {
    WCHAR path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::wstring CurrentUserName() {
    WCHAR name[256];
    DWORD size = 256;
    return GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

std::wstring SystemProcessName() {
    return L"services.exe";
}

bool UnderWine() {
    static SystemFunction<const char* (*)()> wineVersion(L"ntdll.dll", "wine_get_version");
    return wineVersion.Find() != nullptr;
}

// The system directory and the service manager are the system's own: nothing to set up.
ProtectionSources::ProtectionSources() = default;
ProtectionSources::~ProtectionSources() = default;

}  // namespace dorn::test
