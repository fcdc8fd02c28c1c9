// The Perflib name index read at load, and counter paths in another display language.
#include "UniqueHandle.h"
#include "FaultInjection.h"
#include "CountersFixture.h"

namespace dorn::test {
namespace {

const std::wstring kPerflib = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";

const std::map<std::wstring, std::wstring> kGerman = {
    {L"PhysicalDisk", L"Physikalischer Datentr\u00e4ger"},
    {L"% Disk Time", L"Zeit (%)"},
    {L"Processor", L"Prozessor"},
    {L"% User Time", L"Benutzerzeit (%)"},
};

// Leaves the machine without the English counter names.
void ForgetPerflibNames() {
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPerflib.c_str(), 0, KEY_SET_VALUE, key.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.get(), L"Counter"), ERROR_SUCCESS);
}

class CounterNameIndexTest : public CountersTest {};

TEST_F(CounterNameIndexTest, BuiltFromPerflibWithTheLastIndexWinning) {
    using namespace std::string_literals;
    const std::wstring names = L"2\0Processor\0004\0PhysicalDisk\0006\0Processor\0x7\0Odd\0009"s;
    SetMachineString(kPerflib, L"Counter", names, REG_MULTI_SZ);
    CounterNameIndex::Build();
    EXPECT_EQ(CounterNameIndex::Size(), 3u);
    EXPECT_EQ(CounterNameIndex::Find(L"Processor"), 6u);
    EXPECT_EQ(CounterNameIndex::Find(L"PhysicalDisk"), 4u);
    EXPECT_EQ(CounterNameIndex::Find(L"Odd"), 0u);  // "x7" is not a number
    EXPECT_EQ(CounterNameIndex::Find(L"processor"), std::nullopt);
    EXPECT_EQ(CounterNameIndex::Find(L"9"), std::nullopt);  // the index without a name

    ForgetPerflibNames();
    CounterNameIndex::Build();
    EXPECT_EQ(CounterNameIndex::Size(), 0u);
}

// Names that counter files add keep the indices before them: CounterFileTest.
TEST_F(CounterNameIndexTest, PathsUseTheDisplayLanguageButNotForInstances) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoNameTranslation;
    SetCounterNameTranslation(kGerman);
    PerfCounterSet set;
    AddCounter(set, Definition(L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk"));
    AddCounter(set, Definition(L"PhysicalDisk", L"Disk Reads/sec", L"_Total", L"reads"));
    EXPECT_EQ(Paths(set), (std::vector<std::wstring>{
                              L"\\Physikalischer Datentr\u00e4ger(_Total)\\Zeit (%)",
                              L"\\Physikalischer Datentr\u00e4ger(_Total)\\Disk Reads/sec"}));
    EXPECT_EQ(m_log.Messages().size(), 2u);

    // Without the index the English names stay, which a German system does not know.
    ForgetPerflibNames();
    CounterNameIndex::Build();
    AddCounter(set, Definition(L"PhysicalDisk", L"% Disk Time", L"_Total", L"disk2"));
    EXPECT_TRUE(m_log.Has(
        4, L"Failed to add counter \\PhysicalDisk(_Total)\\% Disk Time, error: 0xc0000bb8"));
}

TEST_F(CounterNameIndexTest, FailedLookupsKeepTheEnglishName) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoNameTranslation;
    SetCounterNameTranslation(kGerman);
    std::wstring name = L"Processor";
    FailCall("PdhLookupPerfNameByIndexW", 0xC0000BC8);
    EXPECT_FALSE(LocalizeCounterName(L"Processor", name));
    EXPECT_EQ(name, L"Processor");
    FailCall("PdhLookupPerfNameByIndexW", 0xC0000BBD, 1);
    EXPECT_FALSE(LocalizeCounterName(L"Processor", name));
    EXPECT_EQ(name, L"Processor");
    EXPECT_EQ(
        m_log.Messages(),
        (std::vector<std::wstring>{
            L"Failed to lookup counter Processor get name buffer size failed. error: 0xc0000bc8",
            L"Failed to lookup counter name. error: 0xc0000bbd"}));

    EXPECT_TRUE(LocalizeCounterName(L"Processor", name));
    EXPECT_EQ(name, L"Prozessor");
    name = L"Unknown";
    EXPECT_TRUE(LocalizeCounterName(L"Unknown", name));  // not in the index: as it is
    EXPECT_EQ(name, L"Unknown");
}

}  // namespace
}  // namespace dorn::test
