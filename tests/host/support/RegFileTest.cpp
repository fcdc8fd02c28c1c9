// .reg files: every value form in both encodings, each malformed file with its line number,
// and applying a file into the registry.
#include "RegFile.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "RegistryKeys.h"
#include "FaultInjection.h"
#include "TestRegistry.h"

namespace {

using namespace dorn::test::registry;
using dorn::RegFile;
using dorn::RegFileKey;
using dorn::RegFileValue;

const std::string kFixtures = std::string(DORN_TEST_DATA) + "/reg/";
const std::string kHeader = "Windows Registry Editor Version 5.00\n";

std::vector<uint8_t> WideData(const std::wstring& text) {
    std::vector<uint8_t> data(text.size() * sizeof(wchar_t));
    std::memcpy(data.data(), text.data(), data.size());
    return data;
}

std::vector<uint8_t> StringData(const std::wstring& text) {
    return WideData(text + std::wstring(1, L'\0'));
}

const RegFileValue* FindValue(const RegFileKey& key, const std::wstring& name) {
    for (const RegFileValue& value : key.values) {
        if (value.name == name) return &value;
    }
    return nullptr;
}

RegFile Load(const std::string& fileName) {
    RegFile file;
    std::string error;
    EXPECT_TRUE(dorn::LoadRegFile(kFixtures + fileName, file, error)) << error;
    return file;
}

RegFile Parse(const std::string& text) {
    RegFile file;
    std::string error;
    EXPECT_TRUE(dorn::ParseRegFile(text, file, error)) << error;
    return file;
}

// The same file as UTF-8 (LF) and as UTF-16LE with a byte order mark (CRLF).
class RegFileFormsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RegFileFormsTest, ParsesEveryValueForm) {
    const RegFile file = Load(GetParam());
    ASSERT_EQ(file.keys.size(), 4u);
    const RegFileKey& sample = file.keys[0];
    EXPECT_EQ(sample.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(sample.path, L"Software\\Zentavo\\Pallido\\Sample");
    ASSERT_EQ(sample.values.size(), 12u);
    EXPECT_EQ(sample.values[0].name, L"");  // @
    EXPECT_EQ(sample.values[0].data, StringData(L"default text"));

    const auto expect = [&](const wchar_t* name, DWORD type, const std::vector<uint8_t>& data) {
        const RegFileValue* value = FindValue(sample, name);
        ASSERT_NE(value, nullptr) << "missing value";
        EXPECT_EQ(value->type, type);
        EXPECT_EQ(value->data, data);
    };
    expect(L"Plain", REG_SZ, StringData(L"hello"));
    expect(L"Escaped", REG_SZ, StringData(L"C:\\Program Files\\\"quoted\""));
    expect(L"Unicode", REG_SZ, StringData(L"caf\u00e9 \u20ac \U0001F600"));
    expect(L"Empty", REG_SZ, StringData(L""));
    expect(L"Count", REG_DWORD, {0x1e, 0, 0, 0});
    expect(L"Binary", REG_BINARY, {0x00, 0x01, 0x7f, 0x80, 0xff});
    expect(L"Big", REG_QWORD, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11});
    expect(L"Expand", REG_EXPAND_SZ, StringData(L"%PATH%"));
    expect(L"Multi", REG_MULTI_SZ, WideData(std::wstring(L"one\0two\0\0", 9)));
    expect(L"Nothing", REG_NONE, {});
    std::vector<uint8_t> counting(31);
    for (size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<uint8_t>(i + 1);
    expect(L"Long", REG_BINARY, counting);

    EXPECT_EQ(file.keys[1].root, HKEY_CURRENT_USER);
    EXPECT_EQ(file.keys[1].values[0].name, L"Name with = and ; inside");
    EXPECT_EQ(file.keys[2].root, HKEY_USERS);
    EXPECT_TRUE(file.keys[2].values.empty());
    EXPECT_EQ(file.keys[3].root, HKEY_CLASSES_ROOT);
}
INSTANTIATE_TEST_SUITE_P(Encodings, RegFileFormsTest,
                         ::testing::Values("all_forms.reg", "all_forms_utf16.reg"));

TEST(RegFileTest, ByteOrderMarkAndRegedit4) {
    std::string withBom = "\xEF\xBB\xBF" + kHeader + "[HKLM\\A]\r\n\"v\"=\"x\"\r\n";
    const RegFile bom = Parse(withBom);
    ASSERT_EQ(bom.keys.size(), 1u);
    EXPECT_EQ(bom.keys[0].values[0].data, StringData(L"x"));

    // REGEDIT4 files carry strings as narrow text.
    const RegFile old = Load("regedit4.reg");
    ASSERT_EQ(old.keys.size(), 1u);
    EXPECT_EQ(old.keys[0].values[0].type, DWORD{REG_EXPAND_SZ});
    EXPECT_EQ(old.keys[0].values[0].data, StringData(L"%TEMP%"));
}

TEST(RegFileTest, DeletionsAreParsed) {
    const RegFile file = Load("removals.reg");
    ASSERT_EQ(file.keys.size(), 2u);
    EXPECT_TRUE(file.keys[0].remove);
    EXPECT_EQ(file.keys[0].path, L".dorn");
    EXPECT_FALSE(file.keys[1].remove);
    ASSERT_EQ(file.keys[1].values.size(), 2u);
    EXPECT_TRUE(file.keys[1].values[0].remove);
    EXPECT_FALSE(file.keys[1].values[1].remove);
}

TEST(RegFileTest, MalformedFilesNameTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "line 1: not a registry file (missing \"Windows Registry Editor Version 5.00\")"},
        {"Windows Registry Editor Version 4.00\n",
         "line 1: not a registry file (missing \"Windows Registry Editor Version 5.00\")"},
        {kHeader + "\n[HKEY_FOO\\Bar]\n", "line 3: unknown root key HKEY_FOO"},
        {kHeader + "[HKLM\\A\n", "line 2: unterminated key name"},
        {kHeader + "[HKLM\\A\\\\B]\n", "line 2: bad key path \"HKLM\\A\\\\B\""},
        {kHeader + "[-HKLM]\n", "line 2: a root key cannot be removed"},
        {kHeader + "\"early\"=\"x\"\n", "line 2: value outside any key"},
        {kHeader + "[-HKLM\\A]\n\"v\"=\"x\"\n", "line 3: value inside a key that is removed"},
        {kHeader + "[HKLM\\A]\n\n\nname=\"x\"\n", "line 5: expected \"name\"=value"},
        {kHeader + "[HKLM\\A]\n\"v\" \"x\"\n", "line 3: expected \"name\"=value"},
        {kHeader + "[HKLM\\A]\n\"v\"=\"open\n", "line 3: unterminated string"},
        {kHeader + "[HKLM\\A]\n\"v=\"x\"\n", "line 3: expected \"name\"=value"},
        {kHeader + "[HKLM\\A]\n\"v\"=\"a\\tb\"\n", "line 3: bad escape \"\\t\" in a string"},
        {kHeader + "[HKLM\\A]\n\"v\"=\"x\" y\n", "line 3: text after the value"},
        {kHeader + "[HKLM\\A]\n\"v\"=dword:100000000\n", "line 3: dword value out of range"},
        {kHeader + "[HKLM\\A]\n\"v\"=dword:12g4\n", "line 3: bad dword value \"12g4\""},
        {kHeader + "[HKLM\\A]\n\"v\"=dword:\n", "line 3: bad dword value \"\""},
        {kHeader + "[HKLM\\A]\n\"v\"=hex:01,\\\n  02,zz\n", "line 4: bad hex byte \"zz\""},
        {kHeader + "[HKLM\\A]\n\"v\"=hex:01,,02\n", "line 3: bad hex byte \"\""},
        {kHeader + "[HKLM\\A]\n\"v\"=hex:01,\\",
         "line 3: hex data continues past the end of the file"},
        {kHeader + "[HKLM\\A]\n\"v\"=hex(b):01,02\n", "line 3: qword value must be 8 bytes"},
        {kHeader + "[HKLM\\A]\n\"v\"=hex(2):41,00,42\n",
         "line 3: odd number of bytes in a UTF-16 string"},
        {kHeader + "[HKLM\\A]\n\"v\"=hex(xy):00\n", "line 3: bad value type \"hex(xy)\""},
        {kHeader + "[HKLM\\A]\n\"v\"=qword:1\n", "line 3: unknown value format \"qword:1\""},
        {kHeader + "[HKLM\\A]\n\"v\"=\"\xC3\x28\"\n", "line 3: invalid UTF-8 text"},
        {"\xFF\xFE" + std::string("W\0\n\0\0\xD8", 6), "line 2: invalid UTF-16 text"},
        {kHeader + std::string("[HKLM\\A\0B]\n", 11), "line 2: NUL character in a key name"},
        {kHeader + "[HKLM\\A]\n" + std::string("\"v\0w\"=\"x\"\n", 10),
         "line 3: NUL character in a value name"},
    };
    for (const auto& [text, expected] : cases) {
        RegFile file;
        file.keys.push_back({HKEY_USERS, L"Untouched", false, {}});
        std::string error;
        EXPECT_FALSE(dorn::ParseRegFile(text, file, error)) << text;
        EXPECT_EQ(error, expected) << text;
        ASSERT_EQ(file.keys.size(), 1u) << "a failed parse must leave the output as it was";
        EXPECT_EQ(file.keys[0].path, L"Untouched");
    }
}

class RegFileApplyTest : public ::testing::Test {
  protected:
    dorn::test::RegistrySandbox sandbox_;
};

TEST_F(RegFileApplyTest, AppliedFileReadsBackThroughTheRegistryCalls) {
    // The file also writes HKEY_USERS and HKEY_CLASSES_ROOT, which only the Linux layer's hive
    // gives each test afresh.
    if (!dorn::test::HasLinuxApiLayer()) {
        GTEST_SKIP() << "a private HKEY_USERS and HKEY_CLASSES_ROOT and the open-key count need "
                        "the Linux API layer";
    }
    const size_t openKeys = dorn::test::OpenRegistryKeyCount();
    const RegFile file = Load("all_forms_utf16.reg");
    std::string error;
    ASSERT_TRUE(dorn::ApplyRegFile(file, error)) << error;

    // Every form, stored and read back byte for byte with its type, in the file's order.
    UniqueRegKey sample;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"software\\zentavo\\pallido\\sample", sample),
              ERROR_SUCCESS);
    std::vector<std::wstring> names;
    for (const RegFileValue& value : file.keys[0].values) {
        DWORD type = REG_NONE + 100;
        EXPECT_EQ(ReadData(sample.get(), value.name.c_str(), &type), value.data);
        EXPECT_EQ(type, value.type);
        names.push_back(value.name);
    }
    EXPECT_EQ(ValueNames(sample.get()), names);
    EXPECT_EQ(names.size(), 12u);
    UniqueRegKey users;
    EXPECT_EQ(Open(HKEY_USERS, L"S-1-22-1-1000", users), ERROR_SUCCESS);

    ASSERT_TRUE(dorn::ApplyRegFile(Load("removals.reg"), error)) << error;
    EXPECT_TRUE(SubkeyNames(HKEY_CLASSES_ROOT).empty());
    EXPECT_EQ(ValueNames(sample.get()).size(), 11u);  // "Plain" deleted
    EXPECT_EQ(ReadData(sample.get(), L"Count"), (std::vector<BYTE>{1, 0, 0, 0}));
    // Removing what is not there is not an error, as with regedit.
    ASSERT_TRUE(dorn::ApplyRegFile(Load("removals.reg"), error)) << error;
    EXPECT_EQ(dorn::test::OpenRegistryKeyCount(), openKeys + 2);  // this test's own two
}

TEST_F(RegFileApplyTest, RegistryFailuresNameTheKeyOrValue) {
    if (!dorn::test::CanInjectFaults()) GTEST_SKIP() << dorn::test::kNoFaultInjection;
    const RegFile file = Parse(kHeader + "[HKLM\\Software\\A]\n\"one\"=\"1\"\n\"two\"=dword:2\n");
    const size_t openKeys = dorn::test::OpenRegistryKeyCount();
    dorn::test::FailCall("RegSetValueExW", ERROR_ACCESS_DENIED, 1);
    std::string error;
    EXPECT_FALSE(dorn::ApplyRegFile(file, error));
    EXPECT_EQ(error,
              "line 4: cannot set value \"two\" of HKEY_LOCAL_MACHINE\\Software\\A (error 5)");

    dorn::test::FailCall("RegCreateKeyExW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(dorn::ApplyRegFile(file, error));
    EXPECT_EQ(error, "line 2: cannot create key HKEY_LOCAL_MACHINE\\Software\\A (error 5)");

    dorn::test::FailCall("RegDeleteTreeW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(dorn::ApplyRegFile(Parse(kHeader + "[-HKCU\\X]\n"), error));
    EXPECT_EQ(error, "line 2: cannot remove key HKEY_CURRENT_USER\\X (error 5)");

    // Keys nest at most 512 levels deep; the message cuts the path.
    std::string deep = "HKEY_CURRENT_USER";
    for (int level = 0; level < 513; ++level) deep += "\\k";
    EXPECT_FALSE(dorn::ApplyRegFile(Parse(kHeader + "\n[" + deep + "]\n"), error));
    EXPECT_EQ(error, "line 3: cannot create key " + deep.substr(0, 200) + "... (error 87)");

    EXPECT_EQ(dorn::test::OpenRegistryKeyCount(), openKeys);  // closed on every path
}

}  // namespace
