// Registry semantics the plug-in, the host and the tests rely on, as Windows defines them.
// Arguments no caller passes (reserved values, missing out-parameters) are not pinned.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "RegistryKeys.h"
#include "winport/testing.h"

namespace {

using namespace dorn::test::registry;
using Names = std::vector<std::wstring>;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { winport::testing::ResetRegistry(); }
};

TEST_F(RegistryTest, KeyPathsOpenAndCreateAsOnWindows) {
    UniqueRegKey created;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Zentavo\\Pallido", created, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    ASSERT_EQ(SetDword(created.get(), L"Marker", 7), ERROR_SUCCESS);

    UniqueRegKey again;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zentavo\\PALLIDO", again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    EXPECT_NE(again.get(), created.get());  // a new handle to the same key

    // Runs of backslashes separate names and a trailing one is ignored.
    UniqueRegKey opened, sameKey, parent;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"software\\\\ZENTAVO\\pallido\\", opened), ERROR_SUCCESS);
    EXPECT_EQ(ReadData(opened.get(), L"marker").size(), sizeof(DWORD));
    EXPECT_EQ(Open(opened.get(), nullptr, sameKey), ERROR_SUCCESS);
    EXPECT_EQ(ReadData(sameKey.get(), L"Marker").size(), sizeof(DWORD));
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"Software", parent), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(parent.get()), Names{L"Zentavo"});  // the case it was created with

    // Each predefined root is a hive of its own.
    UniqueRegKey other;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, L"Software\\Zentavo", other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other.get(), nullptr);
}

TEST_F(RegistryTest, QueryValueFollowsTheSizeProtocol) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Test", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), L"Text", L"abc"), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key.get(), L"TEXT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 4 * sizeof(wchar_t));  // wide characters are 4 bytes here

    std::vector<BYTE> small(8, 0xEE);
    size = 8;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), L"Text", nullptr, &type, small.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(small, std::vector<BYTE>(8, 0xEE));  // left untouched

    wchar_t text[4] = {};
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(key.get(), L"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(text), L"abc");
    EXPECT_EQ(size, 16u);

    // An empty value reads as no bytes, into a buffer or not.
    ASSERT_EQ(RegSetValueExW(key.get(), L"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = sizeof text;
    EXPECT_EQ(
        RegQueryValueExW(key.get(), L"Empty", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(std::wstring(text), L"abc");

    EXPECT_EQ(RegQueryValueExW(key.get(), L"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);  // no default value yet
    ASSERT_EQ(SetString(key.get(), L"", L"default"), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(key.get(), nullptr), L"default");
}

// Every value form is stored and read back byte for byte when the .reg files are applied
// (RegFileTest); here what no file can express.
TEST_F(RegistryTest, StringsWithoutTheirNulGetOneOnReading) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Types", key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"xy"),
                             2 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    wchar_t roomy[4] = {L'#', L'#', L'#', L'#'};
    DWORD size = sizeof roomy;
    ASSERT_EQ(RegQueryValueExW(key.get(), L"Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(roomy),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 2 * sizeof(wchar_t));
    EXPECT_EQ(std::wstring(roomy), L"xy");
}

TEST_F(RegistryTest, EnumerationKeepsCreationOrder) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Order", key), ERROR_SUCCESS);
    for (const wchar_t* name : {L"Zeta", L"alpha", L"Mid"}) {
        ASSERT_EQ(SetString(key.get(), name, name), ERROR_SUCCESS);
        UniqueRegKey subkey;
        ASSERT_EQ(Create(key.get(), name, subkey), ERROR_SUCCESS);
    }
    ASSERT_EQ(SetDword(key.get(), L"ZETA", 1), ERROR_SUCCESS);  // same value: keeps its place
    EXPECT_EQ(ValueNames(key.get()), (Names{L"Zeta", L"alpha", L"Mid"}));
    EXPECT_EQ(SubkeyNames(key.get()), (Names{L"Zeta", L"alpha", L"Mid"}));
    ASSERT_EQ(RegDeleteValueW(key.get(), L"ALPHA"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.get(), L"alpha"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetString(key.get(), L"alpha", L"back"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key.get()), (Names{L"Zeta", L"Mid", L"alpha"}));
    // Names are still found in place after a deletion moved the later ones.
    ASSERT_EQ(SetDword(key.get(), L"mid", 7), ERROR_SUCCESS);
    DWORD alphaType = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), L"ALPHA", nullptr, &alphaType, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(alphaType, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(SetString(key.get(), L"mid", L"Mid"), ERROR_SUCCESS);

    wchar_t name[8];
    DWORD nameSize = 3, type = 0, dataSize = 0;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &nameSize, nullptr, &type, nullptr, &dataSize),
              ERROR_MORE_DATA);  // "Mid" needs 4 characters with its NUL
    EXPECT_EQ(nameSize, 3u);
    EXPECT_EQ(dataSize, 4 * sizeof(wchar_t));
    nameSize = 4;
    BYTE data[8];
    dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &nameSize, nullptr, &type, data, &dataSize),
              ERROR_MORE_DATA);  // the name fits, the data does not
    EXPECT_EQ(std::wstring(name), L"Mid");
    EXPECT_EQ(nameSize, 3u);
    EXPECT_EQ(dataSize, 16u);
    nameSize = 8;
    EXPECT_EQ(RegEnumValueW(key.get(), 3, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    nameSize = 4;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);  // "alpha"
    EXPECT_EQ(nameSize, 4u);
    nameSize = 8;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 3, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, QueryInfoKeyReportsCountsAndMaxima) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Info", key), ERROR_SUCCESS);
    UniqueRegKey a, b;
    ASSERT_EQ(Create(key.get(), L"Short", a), ERROR_SUCCESS);
    ASSERT_EQ(Create(key.get(), L"LongerName\\Child", b), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), L"Name", L"a rather long text"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), L"LongestValueName", 1), ERROR_SUCCESS);

    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr,
                               &values, &maxName, &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 2u);
    EXPECT_EQ(maxSubkey, 10u);  // "LongerName"
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 16u);  // "LongestValueName"
    EXPECT_EQ(maxData, 19 * sizeof(wchar_t));
    EXPECT_NE(written.dwHighDateTime, 0u);

    ASSERT_EQ(RegDeleteValueW(key.get(), L"Name"), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &values, nullptr, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(maxData, sizeof(DWORD));
}

TEST_F(RegistryTest, DeletedKeysFailOnOpenHandles) {
    UniqueRegKey parent, child, grandchild;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Parent", parent), ERROR_SUCCESS);
    ASSERT_EQ(Create(parent.get(), L"Child", child), ERROR_SUCCESS);
    ASSERT_EQ(Create(child.get(), L"Grandchild", grandchild), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(grandchild.get(), L"v", 1), ERROR_SUCCESS);

    ASSERT_EQ(RegDeleteTreeW(parent.get(), L"CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(child.get(), L"v", 2), ERROR_KEY_DELETED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(grandchild.get(), L"v", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    UniqueRegKey reopened;
    EXPECT_EQ(Open(child.get(), nullptr, reopened), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeW(parent.get(), L"Child"), ERROR_FILE_NOT_FOUND);

    // A key created again under the same name is a new key; the old handle stays dead.
    UniqueRegKey recreated;
    ASSERT_EQ(Create(parent.get(), L"Child", recreated), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(child.get(), L"v", 3), ERROR_KEY_DELETED);
    EXPECT_TRUE(SubkeyNames(recreated.get()).empty());

    // Without a subkey, the tree below the key goes and the key stays.
    ASSERT_EQ(SetDword(parent.get(), L"kept?", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(parent.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(ValueNames(parent.get()).empty());
    EXPECT_TRUE(SubkeyNames(parent.get()).empty());
    EXPECT_EQ(SetDword(recreated.get(), L"v", 4), ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(parent.get(), L"alive", 1), ERROR_SUCCESS);
}

// Keys nest at most 512 levels below their root, whatever key a path starts from; a path that
// would go deeper creates nothing on its way. The deepest tree goes with its top.
TEST_F(RegistryTest, KeysNestAtMost512LevelsDeep) {
    const auto levels = [](size_t count) {
        std::wstring path;
        for (size_t i = 0; i < count; ++i) path += L"k\\";
        return path;
    };
    UniqueRegKey middle, deepest, refused, opened;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, levels(513).c_str(), refused), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, L"k", opened), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Create(HKEY_CURRENT_USER, levels(256).c_str(), middle), ERROR_SUCCESS);
    EXPECT_EQ(Create(middle.get(), levels(257).c_str(), refused), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(Create(middle.get(), levels(256).c_str(), deepest), ERROR_SUCCESS);
    EXPECT_EQ(Create(deepest.get(), L"k", refused), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(refused.get(), nullptr);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, levels(512).c_str(), opened), ERROR_SUCCESS);

    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"k"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(deepest.get(), L"v", 1), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, ResetEmptiesTheHive) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_USERS, L"S-1-22-1-1000\\Environment", key), ERROR_SUCCESS);
    winport::testing::ResetRegistry();
    EXPECT_EQ(SetDword(key.get(), L"v", 1), ERROR_KEY_DELETED);
    UniqueRegKey missing;
    EXPECT_EQ(Open(HKEY_USERS, L"S-1-22-1-1000", missing), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(SubkeyNames(HKEY_USERS).empty());
}

// Only the calls other tests make fail are pinned; a failed open or create leaves nothing open.
TEST_F(RegistryTest, InjectedFailuresAreReturnedAndOpenNothing) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Faults", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), L"v", 1), ERROR_SUCCESS);

    winport::testing::FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
    HKEY opened = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &opened),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(opened, nullptr);

    UniqueRegKey created;
    winport::testing::FailCall("RegCreateKeyExW", ERROR_CANTOPEN);
    EXPECT_EQ(Create(key.get(), L"Sub", created), ERROR_CANTOPEN);
    EXPECT_EQ(created.get(), nullptr);
    EXPECT_TRUE(SubkeyNames(key.get()).empty());
}

}  // namespace
