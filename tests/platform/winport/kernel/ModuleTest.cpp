// Modules: handles are load addresses, file names are Z: paths, and the system DLL names
// stand for winport.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>

#include <climits>
#include <string>

#include "Paths.h"

namespace {

HMODULE ModuleOf(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 ? static_cast<HMODULE>(info.dli_fbase) : nullptr;
}

template <typename Function>
const void* Address(Function* function) {
    return reinterpret_cast<const void*>(function);
}

std::wstring ExecutableWindowsPath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? winport::ToWindowsPath(std::string(path, static_cast<size_t>(length)))
                      : std::wstring();
}

TEST(ModuleTest, ModuleFileNameIsAZPathAndTruncatesAsWindowsDoes) {
    const std::wstring expected = ExecutableWindowsPath();
    ASSERT_GT(expected.size(), 3u);
    wchar_t buffer[MAX_PATH * 4];
    SetLastError(0);
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    ASSERT_EQ(length, expected.size());
    EXPECT_EQ(std::wstring(buffer), expected);
    EXPECT_EQ(expected.substr(0, 3), L"Z:\\");
    EXPECT_EQ(expected.substr(expected.rfind(L'\\')), L"\\platform_tests");
    EXPECT_EQ(GetLastError(), 0u);

    // Exactly one character short: truncated, NUL-terminated, the size returned.
    const DWORD shortSize = length;
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, shortSize), shortSize);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(std::wstring(buffer), expected.substr(0, shortSize - 1));
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, length + 1), length);
    EXPECT_EQ(GetLastError(), 0u);

    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH * 4), length);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x10), buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

TEST(ModuleTest, ModuleHandlesByName) {
    const HMODULE executable = GetModuleHandleW(nullptr);
    EXPECT_EQ(executable, ModuleOf(Address(&ModuleOf)));
    EXPECT_EQ(GetModuleHandleW(L"PLATFORM_TESTS"), executable);
    EXPECT_EQ(GetModuleHandleW(ExecutableWindowsPath().c_str()), executable);

    const HMODULE winport = ModuleOf(Address(&RegOpenKeyExW));
    ASSERT_NE(winport, nullptr);
    EXPECT_NE(winport, executable);
    for (const wchar_t* name :
         {L"ntdll.dll", L"KERNEL32.DLL", L"advapi32", L"User32.dll", L"pdh.dll", L"wtsapi32.dll"}) {
        EXPECT_EQ(GetModuleHandleW(name), winport) << name;
    }
    EXPECT_EQ(GetModuleHandleW(L"libwinport.so"), winport);

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(L"shell32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

TEST(ModuleTest, ProcAddressFindsOnlyTheModulesOwnExports) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    EXPECT_EQ(Address(GetProcAddress(ntdll, "RegOpenKeyExW")), Address(&RegOpenKeyExW));
    EXPECT_EQ(Address(GetProcAddress(ntdll, "GetTickCount")), Address(&GetTickCount));

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(ntdll, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
    EXPECT_EQ(GetProcAddress(ntdll, "malloc"), nullptr);  // the C library's, not winport's
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x10), "RegOpenKeyExW"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

TEST(ModuleTest, LoadFailuresGiveWindowsErrors) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"Z:\\no\\such\\library.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    EXPECT_EQ(LoadLibraryW(L"libno_such_library.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    EXPECT_EQ(LoadLibraryW(L"Z:\\proc\\self\\status"), nullptr);  // not a shared object
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_EXE_FORMAT});

    // A module LoadLibraryW did not load stays, as statically imported DLLs do.
    EXPECT_TRUE(FreeLibrary(GetModuleHandleW(L"kernel32.dll")));
    EXPECT_NE(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount"), nullptr);
    EXPECT_TRUE(DisableThreadLibraryCalls(GetModuleHandleW(nullptr)));
}

}  // namespace
