// Record computation from two readings: shares, transfer deltas, wrapping, creation times,
// user names and the timestamp.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>

#include <chrono>

#include "process/ProcessArithmetic.h"
#include "process/ProcessRecords.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/process/SystemInformationBuilder.h"

namespace dorn::test {
namespace {

// Ids above the largest pid Linux hands out: they never name a live process.
constexpr int64_t kGonePid = 5000000;
constexpr int64_t kSecond = 10000000;  // 100-ns units
// 2024-06-11 12:00:00 UTC as a FILETIME value.
constexpr int64_t kCreated = 133625808000000000;

ProcessMap ReadTable(const ProcessTableBuilder& table) {
    std::vector<unsigned char> buffer = table.Build();
    ProcessMap map;
    size_t badOffset = 0;
    EXPECT_TRUE(ParseProcessInformation(buffer.data(), buffer.size(), map, badOffset));
    return map;
}

const ProcessRecord& RecordOf(const ProcessList& list, uint32_t pid) {
    for (const ProcessRecord& record : list.records) {
        if (record.processId == pid) return record;
    }
    static const ProcessRecord none;
    ADD_FAILURE() << "no record for " << pid;
    return none;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(ProcessRecords, SharesAndTransfersBetweenTwoReadings) {
    ProcessTableBuilder before;
    before.Add({kGonePid, kCreated, 1 * kSecond, 2 * kSecond, 1000, 500, 0, 1, L"busy.exe"});
    before.Add({kGonePid + 1, kCreated, 0, 0, 0, 0, 0, 1, L"light.exe"});
    before.Add({kGonePid + 2, kCreated, 0, 0, 0, 0, 0, 1, L"ended.exe"});
    before.Add({kGonePid + 3, kCreated, 5 * kSecond, 0, 700, 0, 0, 1, L"reused.exe"});
    ProcessTableBuilder after;
    // 1 s of kernel and 1 s of user time out of 8 s of machine time (4 processors, 2 s).
    after.Add({kGonePid, kCreated, 2 * kSecond, 3 * kSecond, 4000, 2500, 0, 1, L"busy.exe"});
    // 0.9 % of the machine: truncated to 0.
    after.Add({kGonePid + 1, kCreated, 0, 72 * kSecond / 1000, 0, 0, 0, 1, L"light.exe"});
    // The same id with a later creation time is another process: no previous reading.
    after.Add({kGonePid + 3, kCreated + kSecond, 9 * kSecond, 0, 9000, 0, 0, 1, L"reused.exe"});
    after.Add({kGonePid + 4, kCreated + 2 * kSecond, 3 * kSecond, 0, 50, 0, 0, 1, L"new.exe"});

    ProcessList list;
    ComputeProcessRecords(ReadTable(before), ReadTable(after), 8 * kSecond, list);
    ASSERT_EQ(list.records.size(), 4u);  // the ended process is not listed
    const ProcessRecord& busy = RecordOf(list, kGonePid);
    EXPECT_EQ(busy.cpu, 25u);
    EXPECT_EQ(busy.disk, 3000u + 2000u);
    EXPECT_EQ(busy.name, L"busy.exe");
    EXPECT_EQ(RecordOf(list, kGonePid + 1).cpu, 0u);
    for (int64_t fresh : {kGonePid + 3, kGonePid + 4}) {
        EXPECT_EQ(RecordOf(list, static_cast<uint32_t>(fresh)).cpu, 0u) << fresh;
        EXPECT_EQ(RecordOf(list, static_cast<uint32_t>(fresh)).disk, 0u) << fresh;
    }
    // Listed oldest first, the reused id after the older processes.
    EXPECT_EQ(list.records.back().processId, kGonePid + 4);
}

TEST(ProcessRecords, CountersWrapAsThirtyTwoBitValues) {
    const int64_t fourGiB = int64_t(1) << 32;
    ProcessTableBuilder before;
    before.Add({kGonePid, kCreated, 0, 0, fourGiB - 0x100, 0, 0, 0, L"a"});
    before.Add({kGonePid + 1, kCreated, 0, 0, 0, 0, 0, 0, L"b"});
    ProcessTableBuilder after;
    after.Add({kGonePid, kCreated, 0, 0, fourGiB + 0x100, 0, 5 * uint64_t(fourGiB) + 123, 0, L"a"});
    // More than 4 GiB in one interval is reported modulo 2^32.
    after.Add({kGonePid + 1, kCreated, 0, 0, 3 * fourGiB, fourGiB + 7, 0, 0, L"b"});
    ProcessList list;
    ComputeProcessRecords(ReadTable(before), ReadTable(after), kSecond, list);
    EXPECT_EQ(RecordOf(list, kGonePid).disk, 0x200u);
    EXPECT_EQ(RecordOf(list, kGonePid).mem, 123u);
    EXPECT_EQ(RecordOf(list, kGonePid + 1).disk, 7u);
}

TEST(ProcessRecords, CreationTimesAndIntervalsAtTheirLimits) {
    EXPECT_EQ(CreationTimeToUnixSeconds(kCreated), 1718107200);
    EXPECT_EQ(CreationTimeToUnixSeconds(0), -11644473600);
    EXPECT_EQ(CreationTimeToUnixSeconds(kCreated + 9999999), 1718107200);  // truncated
    // Between 1601 and 1970 the signed division truncates toward zero.
    EXPECT_EQ(CreationTimeToUnixSeconds(116444736000000000 - 15000000), -1);

    ProcessCounters previous;
    ProcessCounters current;
    current.kernelTime = 3 * kSecond;
    // Processor totals that did not advance (or went back) give 0 rather than a division by
    // zero.
    EXPECT_EQ(ProcessorShare(previous, current, 0), 0u);
    EXPECT_EQ(ProcessorShare(previous, current, -kSecond), 0u);
    EXPECT_EQ(ProcessorShare(previous, current, 4 * kSecond), 75u);
    // Times near the 64-bit limit wrap as the Windows arithmetic does, without undefined
    // behaviour.
    previous.kernelTime = INT64_MAX;
    current.kernelTime = INT64_MIN;
    EXPECT_EQ(ProcessorShare(previous, current, 1), 100u);
    EXPECT_EQ(TransferDelta(previous, current), 0u);

    ProcessTableBuilder epoch;
    epoch.Add({kGonePid, 0, 0, 0, 0, 0, 0, 0, L"old"});
    ProcessList list;
    ComputeProcessRecords(ProcessMap(), ReadTable(epoch), 0, list);
    EXPECT_EQ(list.records.at(0).createTime, -11644473600);
    EXPECT_EQ(list.records.at(0).cpu, 0u);
}

TEST(ProcessRecords, UserNamesAndTimestamp) {
    LogCapture log;
    ProcessMap current;
    ProcessCounters own;
    own.imageName = L"self";
    current[{kCreated, getpid()}] = own;
    current[{kCreated, kGonePid}] = own;
    const int64_t before = NowMs();
    ProcessList list;
    ComputeProcessRecords(ProcessMap(), current, kSecond, list);
    const int64_t after = NowMs();
    EXPECT_EQ(RecordOf(list, getpid()).userName, CurrentUserName());
    EXPECT_EQ(RecordOf(list, kGonePid).userName, L"");
    EXPECT_TRUE(log.Has(4, L"Could not open process, error 0x57"));
    EXPECT_GE(list.timestamp, before);
    EXPECT_LE(list.timestamp, after);

    ProcessList empty;
    ComputeProcessRecords(ProcessMap(), ProcessMap(), kSecond, empty);
    EXPECT_TRUE(empty.records.empty());
    EXPECT_GE(empty.timestamp, before);
}

TEST(ProcessRecords, ClockThatCannotBeConvertedGivesTimestampZero) {
    LogCapture log;
    winport::testing::FailCall("SystemTimeToFileTime", ERROR_INVALID_PARAMETER);
    ProcessList list;
    ComputeProcessRecords(ProcessMap(), ProcessMap(), kSecond, list);
    winport::testing::ClearFailures();
    EXPECT_EQ(list.timestamp, 0);
    EXPECT_TRUE(log.Has(4, L"Failed to get current timestamp, error is 0x57"));
}

}  // namespace
}  // namespace dorn::test
