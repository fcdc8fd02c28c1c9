// Record computation from two readings: shares, transfer deltas, wrapping, creation times,
// user names and the timestamp.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "ProcessArithmetic.h"
#include "ProcessRecords.h"
#include "FaultInjection.h"
#include "LogCapture.h"
#include "TestProcesses.h"

namespace dorn::test {
namespace {

// Above the largest pid Linux hands out and far above those of Windows: never a live process.
constexpr int64_t kGone = 5000000;
constexpr int64_t kSecond = 10000000;  // 100-ns units
constexpr int64_t kFourGiB = int64_t(1) << 32;
// 2024-06-11 12:00:00 UTC as a FILETIME value.
constexpr int64_t kCreated = 133625808000000000;

ProcessCounters Counters(int64_t kernel, int64_t user, int64_t read, int64_t written) {
    return {kernel, user, read, written, 0, 1, L"p"};
}

const ProcessRecord& RecordOf(const ProcessList& list, int64_t pid) {
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
    ProcessMap before;
    before[{kCreated, kGone}] = Counters(1 * kSecond, 2 * kSecond, 1000, 500);
    before[{kCreated, kGone + 1}] = Counters(0, 0, 0, 0);
    before[{kCreated, kGone + 2}] = Counters(0, 0, 0, 0);  // ends before the second reading
    before[{kCreated, kGone + 3}] = Counters(5 * kSecond, 0, 700, 0);
    before[{kCreated, kGone + 5}] = Counters(0, 0, kFourGiB - 0x100, 0);
    before[{kCreated, kGone + 6}] = Counters(0, 0, 0, 0);
    ProcessMap after;
    // 1 s of kernel and 1 s of user time out of 8 s of machine time (4 processors, 2 s).
    after[{kCreated, kGone}] = Counters(2 * kSecond, 3 * kSecond, 4000, 2500);
    // 0.9 % of the machine: truncated to 0.
    after[{kCreated, kGone + 1}] = Counters(0, 72 * kSecond / 1000, 0, 0);
    // The same id with a later creation time is another process: no previous reading.
    after[{kCreated + kSecond, kGone + 3}] = Counters(9 * kSecond, 0, 9000, 0);
    after[{kCreated + 2 * kSecond, kGone + 4}] = Counters(3 * kSecond, 0, 50, 0);
    // Transfers wrap as 32-bit values, and more than 4 GiB in one interval is counted modulo 2^32.
    after[{kCreated, kGone + 5}] = Counters(0, 0, kFourGiB + 0x100, 0);
    after[{kCreated, kGone + 6}] = Counters(0, 0, 3 * kFourGiB, kFourGiB + 7);
    // An id beyond 32 bits keeps its low 32 bits, private bytes are taken as they are, and a
    // share beyond 32 bits keeps its low 32 bits.
    const int64_t wideId = kFourGiB + kGone + 7;
    before[{kCreated + 3, wideId}] = Counters(0, 0, 0, 0);
    after[{kCreated + 3, wideId}] = {4000000000000000, 0, 0, 0, 0xFFFFFFFF, 7, L"wide"};

    // Computed afresh, and again into the records of an earlier computation, which must carry
    // nothing over.
    ProcessList stale;
    stale.records.assign(9, {1, 2, 99, 99, 99, 9, L"stale name", L"stale user"});
    for (bool reused : {false, true}) {
        SCOPED_TRACE(reused ? "reused" : "fresh");
        ProcessList list = reused ? stale : ProcessList();
        (reused ? RecomputeProcessRecords : ComputeProcessRecords)(before, after, 8 * kSecond,
                                                                   list);
        ASSERT_EQ(list.records.size(), 7u);  // the ended process is not listed
        for (const ProcessRecord& record : list.records) EXPECT_EQ(record.userName, L"");
        const ProcessRecord& wide = RecordOf(list, kGone + 7);
        EXPECT_EQ(wide.processId, 5000007u);
        EXPECT_EQ(wide.createTime, 1718107200);
        EXPECT_EQ(wide.cpu, 705032704u);  // (4e17 / 8e7) modulo 2^32
        EXPECT_EQ(wide.mem, 0xFFFFFFFFu);
        EXPECT_EQ(wide.disk, 0u);
        EXPECT_EQ(wide.sessionId, 7u);
        EXPECT_EQ(wide.name, L"wide");
        EXPECT_EQ(RecordOf(list, kGone).cpu, 25u);
        EXPECT_EQ(RecordOf(list, kGone).disk, 3000u + 2000u);
        EXPECT_EQ(RecordOf(list, kGone).name, L"p");
        EXPECT_EQ(RecordOf(list, kGone + 1).cpu, 0u);
        for (int64_t fresh : {kGone + 3, kGone + 4}) {
            EXPECT_EQ(RecordOf(list, fresh).cpu, 0u) << fresh;
            EXPECT_EQ(RecordOf(list, fresh).disk, 0u) << fresh;
        }
        EXPECT_EQ(RecordOf(list, kGone + 5).disk, 0x200u);
        EXPECT_EQ(RecordOf(list, kGone + 6).disk, 7u);
        // Listed oldest first, the reused id after the older processes.
        EXPECT_EQ(list.records.back().processId, kGone + 4);
    }
}

TEST(ProcessRecords, CreationTimesAndSharesAtTheirLimits) {
    EXPECT_EQ(CreationTimeToUnixSeconds(kCreated), 1718107200);
    EXPECT_EQ(CreationTimeToUnixSeconds(0), -11644473600);
    EXPECT_EQ(CreationTimeToUnixSeconds(kCreated + 9999999), 1718107200);  // truncated
    // Between 1601 and 1970 the signed division truncates toward zero.
    EXPECT_EQ(CreationTimeToUnixSeconds(116444736000000000 - 15000000), -1);

    ProcessCounters previous;
    ProcessCounters current;
    current.kernelTime = 3 * kSecond;
    // Processor totals that did not advance (or went back) give 0, not a division by zero.
    EXPECT_EQ(ProcessorShare(previous, current, 0), 0u);
    EXPECT_EQ(ProcessorShare(previous, current, -kSecond), 0u);
    EXPECT_EQ(ProcessorShare(previous, current, 4 * kSecond), 75u);
    // Times near the 64-bit limit wrap as the Windows arithmetic does, without undefined
    // behaviour.
    previous.kernelTime = INT64_MAX;
    current.kernelTime = INT64_MIN;
    EXPECT_EQ(ProcessorShare(previous, current, 1), 100u);
    EXPECT_EQ(TransferDelta(previous, current), 0u);
}

TEST(ProcessRecords, UserThatCannotBeReadAndTimestampOfNoRecords) {
    LogCapture log;
    ProcessMap current;
    current[{kCreated, kGone}] = Counters(0, 0, 0, 0);
    ProcessList list;
    ComputeProcessRecords(ProcessMap(), current, kSecond, list);
    EXPECT_EQ(RecordOf(list, kGone).userName, L"");
    EXPECT_TRUE(log.Has(4, L"Could not open process, error 0x57"));

    const int64_t before = NowMs();
    ProcessList empty;
    ComputeProcessRecords(ProcessMap(), ProcessMap(), kSecond, empty);
    EXPECT_TRUE(empty.records.empty());
    EXPECT_GE(empty.timestamp, before);
    EXPECT_LE(empty.timestamp, NowMs());
}

TEST(ProcessRecords, ClockThatCannotBeConvertedGivesTimestampZero) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    LogCapture log;
    FailCall("SystemTimeToFileTime", ERROR_INVALID_PARAMETER);
    ProcessList list;
    ComputeProcessRecords(ProcessMap(), ProcessMap(), kSecond, list);
    ForgetInjectedFaults();
    EXPECT_EQ(list.timestamp, 0);
    EXPECT_TRUE(log.Has(4, L"Failed to get current timestamp, error is 0x57"));
}

}  // namespace
}  // namespace dorn::test
