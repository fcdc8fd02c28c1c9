// The private HKEY_LOCAL_MACHINE of Windows runs and tests: what is written there stays in the
// private key, the machine's own key is untouched, and the private key goes with the object.
#include "PrivateMachineRegistry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RegistryKeys.h"

namespace {

using dorn::PrivateMachineRegistry;

constexpr const wchar_t* kTestKey = L"Software\\Zentavo\\Pallido\\PrivateRegistryTest";
constexpr const wchar_t* kPerflibNames =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";

bool Exists(HKEY root, const std::wstring& path) {
    UniqueRegKey key;
    return dorn::test::registry::Open(root, path.c_str(), key) == ERROR_SUCCESS;
}

// The whole text, list values included, without the NULs at its end.
std::optional<std::wstring> ReadText(HKEY root, const std::wstring& path, const wchar_t* name) {
    UniqueRegKey key;
    DWORD size = 0;
    if (dorn::test::registry::Open(root, path.c_str(), key) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::vector<BYTE> data = dorn::test::registry::ReadData(key.get(), name);
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

LSTATUS WriteText(HKEY root, const std::wstring& path, const wchar_t* name,
                  const std::wstring& text) {
    UniqueRegKey key;
    const LSTATUS status = dorn::test::registry::Create(root, path.c_str(), key);
    return status != ERROR_SUCCESS ? status
                                   : dorn::test::registry::SetString(key.get(), name, text);
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path) {
    UniqueRegKey key;
    if (dorn::test::registry::Open(root, path.c_str(), key) != ERROR_SUCCESS) return {};
    return dorn::test::registry::SubkeyNames(key.get());
}

TEST(PrivateMachineRegistryTest, WritesStayInThePrivateKeyAndGoWithIt) {
    ASSERT_FALSE(Exists(HKEY_LOCAL_MACHINE, kTestKey)) << "left over from an earlier run";
    std::wstring privatePath;
    {
        PrivateMachineRegistry registry;
        std::string error;
        ASSERT_TRUE(registry.Open({}, error)) << error;
        privatePath = registry.KeyPath();
        EXPECT_EQ(
            privatePath.rfind(
                L"Software\\dorn\\registry-" + std::to_wstring(GetCurrentProcessId()) + L"-", 0),
            0u);

        // The redirected HKLM starts empty: not even the machine's own keys are seen.
        EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"Software\\Microsoft"));
        ASSERT_EQ(WriteText(HKEY_LOCAL_MACHINE, kTestKey, L"Name", L"private"), ERROR_SUCCESS);
        EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kTestKey, L"Name"), L"private");
        EXPECT_EQ(ReadText(HKEY_CURRENT_USER, privatePath + L"\\" + kTestKey, L"Name"), L"private");
    }
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"Software\\Microsoft"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, privatePath));
}

TEST(PrivateMachineRegistryTest, CarriedValuesAreCopiedAndAbsentOnesSkipped) {
    const std::optional<std::wstring> names =
        ReadText(HKEY_LOCAL_MACHINE, kPerflibNames, L"Counter");
    ASSERT_TRUE(names.has_value()) << "this system has no Perflib English names";

    PrivateMachineRegistry registry;
    std::string error;
    ASSERT_TRUE(
        registry.Open({std::wstring(kPerflibNames) + L"\\Counter", L"Software\\Nowhere\\Value",
                       L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NoSuchValue"},
                      error))
        << error;
    EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kPerflibNames, L"Counter"), names);
    EXPECT_FALSE(ReadText(HKEY_LOCAL_MACHINE, kPerflibNames, L"Help").has_value());
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"Software\\Nowhere"));
    EXPECT_FALSE(ReadText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                          L"NoSuchValue")
                     .has_value());
}

TEST(PrivateMachineRegistryTest, OneRedirectionAtATime) {
    auto first = std::make_unique<PrivateMachineRegistry>();
    std::string error;
    ASSERT_TRUE(first->Open({}, error)) << error;
    ASSERT_EQ(WriteText(HKEY_LOCAL_MACHINE, kTestKey, L"Name", L"first"), ERROR_SUCCESS);

    PrivateMachineRegistry second;
    EXPECT_FALSE(second.Open({}, error));
    EXPECT_EQ(error, "HKEY_LOCAL_MACHINE is already redirected in this process");
    EXPECT_TRUE(second.KeyPath().empty());
    // The refused one changed nothing.
    EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kTestKey, L"Name"), L"first");

    first.reset();
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kTestKey));
    PrivateMachineRegistry third;
    EXPECT_TRUE(third.Open({}, error)) << error;
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kTestKey));  // a new one starts empty
}

TEST(PrivateMachineRegistryTest, KeysOfEndedProcessesAreDeletedOthersKept) {
    const std::wstring parent = L"Software\\dorn";
    // No process has id 3 (ids are multiples of 4); this process did not start at time 1.
    const std::wstring ended = L"registry-3-132000000000000000";
    const std::wstring reused = L"registry-" + std::to_wstring(GetCurrentProcessId()) + L"-1";
    const std::wstring foreign = L"not-a-private-registry";
    for (const std::wstring& name : {ended, reused, foreign}) {
        ASSERT_EQ(WriteText(HKEY_CURRENT_USER, parent + L"\\" + name + L"\\Sub", L"v", L"x"),
                  ERROR_SUCCESS);
    }
    {
        PrivateMachineRegistry registry;
        std::string error;
        ASSERT_TRUE(registry.Open({}, error)) << error;
    }
    const std::vector<std::wstring> left = SubkeyNames(HKEY_CURRENT_USER, parent);
    EXPECT_EQ(std::count(left.begin(), left.end(), ended), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), reused), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), foreign), 1);
    RegDeleteTreeW(HKEY_CURRENT_USER, (parent + L"\\" + foreign).c_str());
}

}  // namespace
