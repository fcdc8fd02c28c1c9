// GetSystemDirectoryW: the directory of the system's own executables.
#include <windows.h>
#include <winport/testing.h>

#include <cwchar>
#include <mutex>
#include <string>

#include "InjectedFailure.h"

namespace {

// /usr/sbin holds the programs that run the system (what System32 holds on Windows).
constexpr const wchar_t* kDefaultSystemDirectory = L"Z:\\usr\\sbin";

std::mutex g_lock;
std::wstring g_systemDirectory = kDefaultSystemDirectory;

std::wstring SystemDirectory() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_systemDirectory;
}

}  // namespace

namespace winport::testing {

void SetSystemDirectory(const std::wstring& windowsPath) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_systemDirectory = windowsPath.empty() ? kDefaultSystemDirectory : windowsPath;
}

}  // namespace winport::testing

extern "C" WINPORT_API UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    if (winport::InjectedFailure("GetSystemDirectoryW")) return 0;
    const std::wstring directory = SystemDirectory();
    if (buffer == nullptr || size < directory.size() + 1) {
        return static_cast<UINT>(directory.size() + 1);
    }
    std::wmemcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}
