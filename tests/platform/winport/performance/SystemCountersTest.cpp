// "Processor" and "PhysicalDisk": the rate arithmetic over seeded /proc files with a fixed
// clock, which devices count as physical disks, and a reading of this machine.
#include <chrono>

#include "CounterTables.h"
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include "CountersFixture.h"
#include "Waiting.h"

namespace dorn::test {
namespace {

using std::chrono::milliseconds;

const char* const kStat1 =
    "cpu  100 0 50 800 50 0 0 0 0 0\ncpu0 60 0 20 400 20 0 0 0 0 0\n"
    "cpu1 40 0 30 400 30 0 0 0 0 0\nintr 1 2 3\nctxt 5\n";
const char* const kStat2 =
    "cpu  200 10 90 1500 100 20 10 0 0 0\ncpu0 150 10 40 700 60 10 5 0 0 0\n"
    "cpu1 50 0 50 800 40 10 5 0 0 0\nintr 1 2 3\nctxt 9\n";

const char* const kDisks1 =
    "   8       0 sda 100 0 800 50 200 0 1600 150 0 300 400 0 0 0 0 0 0\n"
    "   8       1 sda1 90 0 700 40 190 0 1500 140 0 280 380 0 0 0 0 0 0\n"
    "   7       0 loop0 5 0 10 1 0 0 0 0 0 1 1\n"
    " 259       0 nvme0n1 10 0 80 5 20 0 160 15 2 30 40\n"
    " 259       1 nvme0n1p1 10 0 80 5 20 0 160 15 0 30 40\n"
    " 253       0 dm-0 50 0 400 20 100 0 800 60 0 100 120\n";
const char* const kDisks2 =
    "   8       0 sda 300 0 1200 250 400 0 2400 350 0 1300 400 0 0 0 0 0 0\n"
    "   8       1 sda1 90 0 700 40 190 0 1500 140 0 280 380 0 0 0 0 0 0\n"
    "   7       0 loop0 900 0 10 1 0 0 0 0 0 1 1\n"
    " 259       0 nvme0n1 110 0 80 105 20 0 160 15 1 2030 40\n"
    " 259       1 nvme0n1p1 10 0 80 5 20 0 160 15 0 30 40\n"
    " 253       0 dm-0 950 0 400 20 100 0 800 60 0 100 120\n";

class SystemCountersTest : public CountersTest {
  protected:
    void SeedSystemFiles(const char* stat, const char* disks, const std::string& sysBlock) {
        m_files.Replace("stat", stat);
        m_files.Replace("diskstats", disks);
        winport::testing::SetSystemCounterSources(m_files.Path("stat"), m_files.Path("diskstats"),
                                                  sysBlock);
    }

    std::string SysBlock() {
        std::filesystem::create_directory(m_files.Path("block"));
        const std::pair<const char*, const char*> links[] = {
            {"sda", "../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda"},
            {"nvme0n1", "../devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1"},
            {"loop0", "../devices/virtual/block/loop0"},
            {"dm-0", "../devices/virtual/block/dm-0"}};
        for (const auto& [name, target] : links) {
            std::filesystem::create_symlink(target, m_files.Path("block/" + std::string(name)));
        }
        return m_files.Path("block");
    }

    static std::vector<std::wstring> Instances(const wchar_t* object) {
        DWORD counters = 0;
        DWORD instances = 0;
        EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, object, nullptr, &counters, nullptr,
                                      &instances, PERF_DETAIL_WIZARD, 0),
                  static_cast<PDH_STATUS>(PDH_MORE_DATA));
        std::vector<wchar_t> counterList(counters), instanceList(instances);
        EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, object, counterList.data(), &counters,
                                      instanceList.data(), &instances, PERF_DETAIL_WIZARD, 0),
                  ERROR_SUCCESS);
        std::vector<std::wstring> names;
        for (const wchar_t* name = instanceList.data(); *name != L'\0'; name += wcslen(name) + 1) {
            names.emplace_back(name);
        }
        return names;
    }
};

TEST_F(SystemCountersTest, ProcessorSharesComeFromTickDifferences) {
    SeedSystemFiles(kStat1, kDisks1, SysBlock());
    EXPECT_EQ(Instances(L"Processor"), (std::vector<std::wstring>{L"0", L"1", L"_Total"}));
    PerfCounterSet set;
    UpdateCounterSet(set, {Definition(L"Processor", L"% Processor Time", L"_Total", L"cpu"),
                           Definition(L"Processor", L"% User Time", L"_Total", L"user"),
                           Definition(L"Processor", L"% Privileged Time", L"1", L"privileged"),
                           Definition(L"Processor", L"% Idle Time", L"*", L"idle")});
    EXPECT_EQ(set.counters.size(), 6u);

    std::vector<MetricValue> values;
    ASSERT_TRUE(CollectValues(set, values));
    EXPECT_TRUE(values.empty());  // one collection is not enough for a share
    EXPECT_TRUE(m_log.Has(4,
                          L"Failed to get data from counter, error: 0xc0000bc6, perf counter path "
                          L"\\Processor(_Total)\\% Processor Time"));

    m_files.Replace("stat", kStat2);
    ASSERT_TRUE(CollectValues(set, values));
    ASSERT_EQ(Keys(values), (std::vector<std::wstring>{L"idle", L"idle", L"idle", L"privileged",
                                                       L"cpu", L"user"}));
    EXPECT_DOUBLE_EQ(values[0].value, 100.0 * 340 / 475);  // processor 0
    EXPECT_DOUBLE_EQ(values[1].value, 100.0 * 410 / 455);  // processor 1
    EXPECT_DOUBLE_EQ(values[2].value, 100.0 * 750 / 930);  // total ticks 930, 750 of them idle
    EXPECT_DOUBLE_EQ(values[3].value, 100.0 * 35 / 455);
    EXPECT_DOUBLE_EQ(values[4].value, 100.0 * 180 / 930);
    EXPECT_DOUBLE_EQ(values[5].value, 100.0 * 110 / 930);
}

TEST_F(SystemCountersTest, PhysicalDisksAreWholeBackedDisksWithRatesPerSecond) {
    SeedSystemFiles(kStat1, kDisks1, SysBlock());
    EXPECT_EQ(Instances(L"PhysicalDisk"),
              (std::vector<std::wstring>{L"sda", L"nvme0n1", L"_Total"}));
    std::vector<PerfCounterDefinition> table;
    AddHistoricalDiskCounters(table);
    table.push_back(Definition(L"PhysicalDisk", L"% Disk Time", L"*", L"busy"));
    table.push_back(Definition(L"PhysicalDisk", L"Disk Write Bytes/sec", L"_Total", L"bytes"));
    PerfCounterSet set;
    UpdateCounterSet(set, table);

    winport::testing::SetCollectionTime(milliseconds(10000));
    ASSERT_TRUE(CollectQuery(set));
    m_files.Replace("diskstats", kDisks2);
    winport::testing::SetCollectionTime(milliseconds(12000));
    std::vector<MetricValue> values;
    ASSERT_TRUE(CollectValues(set, values));
    ASSERT_EQ(Keys(values), (std::vector<std::wstring>{L"busy", L"busy", L"busy", L"disk_latency",
                                                       L"disk_iops_reads", L"disk_iops", L"bytes",
                                                       L"disk_iops_writes"}));
    EXPECT_DOUBLE_EQ(values[0].value, 100.0);  // _Total: 3000 ms busy in 2 s, capped at 100
    EXPECT_DOUBLE_EQ(values[1].value, 100.0);  // nvme0n1: 2000 ms busy in 2 s
    EXPECT_DOUBLE_EQ(values[2].value, 50.0);   // sda
    EXPECT_DOUBLE_EQ(values[3].value, 1.0);    // 500 ms over 500 transfers, in milliseconds
    EXPECT_DOUBLE_EQ(values[4].value, 150.0);  // 300 reads in 2 s
    EXPECT_DOUBLE_EQ(values[5].value, 250.0);
    EXPECT_DOUBLE_EQ(values[6].value, 204800.0);  // 800 sectors of 512 bytes in 2 s
    EXPECT_DOUBLE_EQ(values[7].value, 100.0);

    // Without /sys/block the names decide, with the same result.
    winport::testing::SetSystemCounterSources(m_files.Path("stat"), m_files.Path("diskstats"),
                                              m_files.Path("no-such-directory"));
    EXPECT_EQ(Instances(L"PhysicalDisk"),
              (std::vector<std::wstring>{L"sda", L"nvme0n1", L"_Total"}));
}

// The default sources are this machine's /proc files: both objects read. (The arithmetic over
// them is pinned above with seeded files.)
TEST_F(SystemCountersTest, ReadsThisMachine) {
    PerfCounterSet set;
    AddCounter(set, Definition(L"Processor", L"% User Time", L"_Total", L"user"));
    AddCounter(set, Definition(L"PhysicalDisk", L"Disk Write Bytes/sec", L"_Total", L"bytes"));
    ASSERT_TRUE(CollectQuery(set));
    std::vector<MetricValue> values;
    // Rates read once the clock has moved between two collections.
    ASSERT_TRUE(WaitUntil([&] {
        values.clear();
        return CollectValues(set, values) && values.size() == 2;
    }));
    EXPECT_EQ(Keys(values), (std::vector<std::wstring>{L"bytes", L"user"}));
    EXPECT_GE(values[0].value, 0.0);
    EXPECT_GE(values[1].value, 0.0);
    EXPECT_LE(values[1].value, 100.0);
}

}  // namespace
}  // namespace dorn::test
