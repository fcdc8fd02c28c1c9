// The parsers of the system's buffers, on crafted records: fields, order, and buffers whose
// offsets and pointers lie.
#include <gtest/gtest.h>
#include <winternl.h>

#include <memory>
#include <random>

#include "process/SystemInformationParser.h"
#include "tests/process/SystemInformationBuilder.h"

namespace dorn::test {
namespace {

namespace L = ProcessInformationLayout;

// The parser's offsets are the published layout that winport writes.
static_assert(L::kCreateTime == offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime));
static_assert(L::kUserTime == offsetof(SYSTEM_PROCESS_INFORMATION, UserTime));
static_assert(L::kKernelTime == offsetof(SYSTEM_PROCESS_INFORMATION, KernelTime));
static_assert(L::kImageNameBuffer == offsetof(SYSTEM_PROCESS_INFORMATION, ImageName.Buffer));
static_assert(L::kUniqueProcessId == offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId));
static_assert(L::kSessionId == offsetof(SYSTEM_PROCESS_INFORMATION, SessionId));
static_assert(L::kPrivatePageCount == offsetof(SYSTEM_PROCESS_INFORMATION, PrivatePageCount));
static_assert(L::kReadTransferCount == offsetof(SYSTEM_PROCESS_INFORMATION, ReadTransferCount));
static_assert(L::kWriteTransferCount == offsetof(SYSTEM_PROCESS_INFORMATION, WriteTransferCount));
static_assert(L::kRecordSize == sizeof(SYSTEM_PROCESS_INFORMATION));
static_assert(ProcessorPerformanceLayout::kRecordSize ==
              sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION));

ProcessTableBuilder ThreeProcesses() {
    ProcessTableBuilder table;
    table.Add({0, 0, 5, 5, 0, 0, 0, 0, L"", false});  // the idle process comes first on Windows
    table.Add({700, 300, 11, 12, 13, 14, 0x1'2345'6789ull, 2, L"editor.exe"});
    table.Add({4, 100, 21, 22, 23, 24, 4096, 0, L"System"});
    table.Add({9, 300, 31, 32, 33, 34, 8192, 1, L"svc.exe"});
    return table;
}

size_t Parse(const std::vector<unsigned char>& buffer, ProcessMap& map, bool& ok) {
    size_t badOffset = 0;
    ok = ParseProcessInformation(buffer.data(), buffer.size(), map, badOffset);
    return badOffset;
}

TEST(ProcessInformationParser, ReadsEveryRecordOfTheChainIntoKeyOrder) {
    std::vector<unsigned char> buffer = ThreeProcesses().Build();
    ProcessMap map;
    bool ok = false;
    Parse(buffer, map, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(map.size(), 3u);  // the idle process is skipped
    auto entry = map.begin();
    EXPECT_EQ(entry->first, (ProcessKey{100, 4}));
    EXPECT_EQ(entry->second.imageName, L"System");
    ++entry;
    EXPECT_EQ(entry->first, (ProcessKey{300, 9}));  // same creation time: lower id first
    ++entry;
    EXPECT_EQ(entry->first, (ProcessKey{300, 700}));
    const ProcessCounters& editor = entry->second;
    EXPECT_EQ(editor.kernelTime, 11);
    EXPECT_EQ(editor.userTime, 12);
    EXPECT_EQ(editor.bytesRead, 13);
    EXPECT_EQ(editor.bytesWritten, 14);
    EXPECT_EQ(editor.privateBytes, 0x2345'6789u);  // the low 32 bits of more than 4 GiB
    EXPECT_EQ(editor.sessionId, 2u);
    EXPECT_EQ(editor.imageName, L"editor.exe");
}

TEST(ProcessInformationParser, AddsToWhatTheMapHoldsAndReplacesEqualKeys) {
    ProcessMap map;
    map[{50, 50}].imageName = L"kept";
    map[{100, 4}].imageName = L"stale";
    std::vector<unsigned char> buffer = ThreeProcesses().Build();
    bool ok = false;
    Parse(buffer, map, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(map.size(), 4u);
    EXPECT_EQ((map[{50, 50}].imageName), L"kept");
    EXPECT_EQ((map[{100, 4}].imageName), L"System");

    ProcessTableBuilder nameless;
    nameless.Add({77, 1, 0, 0, 0, 0, 0, 0, L"", false});
    std::vector<unsigned char> second = nameless.Build();
    Parse(second, map, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ((map[{1, 77}].imageName), L"");  // a record without a name buffer
}

TEST(ProcessInformationParser, RefusesRecordsThatReachOutsideTheBuffer) {
    ProcessTableBuilder table = ThreeProcesses();
    const std::vector<size_t> offsets = table.RecordOffsets();
    struct Case {
        const char* what;
        std::function<void(std::vector<unsigned char>&)> spoil;
        size_t badOffset;
    };
    const std::vector<Case> cases = {
        {"next offset past the end",
         [&](auto& b) { Poke<uint32_t>(b.data(), offsets[2] + L::kNextEntryOffset, 0x10000); },
         offsets[2]},
        {"next offset inside the record",
         [&](auto& b) { Poke<uint32_t>(b.data(), offsets[1] + L::kNextEntryOffset, 8); },
         offsets[1]},
        {"name before the buffer",
         [&](auto& b) {
             Poke<uint64_t>(b.data(), offsets[1] + L::kImageNameBuffer,
                            reinterpret_cast<uintptr_t>(b.data()) - 64);
         },
         offsets[1]},
        {"name after the buffer",
         [&](auto& b) {
             Poke<uint64_t>(b.data(), offsets[3] + L::kImageNameBuffer,
                            reinterpret_cast<uintptr_t>(b.data()) + b.size());
         },
         offsets[3]},
        {"name without a terminator",
         [&](auto& b) {
             Poke<uint64_t>(b.data(), offsets[3] + L::kImageNameBuffer,
                            reinterpret_cast<uintptr_t>(b.data()) + b.size() - sizeof(wchar_t));
             Poke<wchar_t>(b.data(), b.size() - sizeof(wchar_t), L'x');
         },
         offsets[3]},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> buffer = table.Build();
        c.spoil(buffer);
        ProcessMap map;
        map[{1, 1}].imageName = L"before";
        bool ok = true;
        const size_t badOffset = Parse(buffer, map, ok);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_EQ(badOffset, c.badOffset) << c.what;
        EXPECT_EQ(map.size(), 1u) << c.what << ": nothing is added from a malformed buffer";
    }
}

TEST(ProcessInformationParser, TruncatedBuffersAreRefusedWithoutReadingPastTheirEnd) {
    ProcessTableBuilder table = ThreeProcesses();
    const size_t complete = table.EndOfLastName();
    for (size_t size = 0; size <= table.Size(); ++size) {
        // Exactly `size` bytes on the heap, so that the address sanitizer sees any overread.
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[size > 0 ? size : 1]);
        table.WriteInto(buffer.get(), size);
        ProcessMap map;
        size_t badOffset = 0;
        const bool ok =
            ParseProcessInformation(size > 0 ? buffer.get() : nullptr, size, map, badOffset);
        EXPECT_EQ(ok, size >= complete) << "size " << size;
        EXPECT_EQ(map.size(), ok ? 3u : 0u) << "size " << size;
    }
}

TEST(ProcessInformationParser, SurvivesArbitraryOffsetsAndPointers) {
    std::mt19937_64 random(20240611);
    ProcessTableBuilder table = ThreeProcesses();
    const std::vector<size_t> offsets = table.RecordOffsets();
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> bytes = table.Build();
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes.size()]);
        table.WriteInto(buffer.get(), bytes.size());
        const size_t record = offsets[random() % offsets.size()];
        const uintptr_t base = reinterpret_cast<uintptr_t>(buffer.get());
        switch (random() % 3) {
            case 0:
                Poke<uint32_t>(buffer.get(), record + L::kNextEntryOffset,
                               static_cast<uint32_t>(random() % (bytes.size() * 2)));
                break;
            case 1:
                Poke<uint64_t>(buffer.get(), record + L::kImageNameBuffer,
                               base + random() % (bytes.size() + 64) - 32);
                break;
            default:
                buffer[random() % bytes.size()] = static_cast<unsigned char>(random());
                break;
        }
        ProcessMap map;
        size_t badOffset = 0;
        if (!ParseProcessInformation(buffer.get(), bytes.size(), map, badOffset)) {
            EXPECT_LT(badOffset, bytes.size());
            EXPECT_TRUE(map.empty());
        }
    }
}

TEST(ProcessorTimesParser, SumsTheRecordsTheSystemReported) {
    std::vector<unsigned char> buffer = BuildProcessorTable({{100, 400, 50}, {300, 600, 10}});
    buffer.resize(buffer.size() + 16384, 0xAB);  // room the caller added: not records
    uint64_t total = 1;
    uint64_t idle = 1;
    ASSERT_TRUE(SumProcessorTimes(buffer.data(), buffer.size(), 96, total, idle));
    EXPECT_EQ(total, 400u + 50u + 600u + 10u);  // kernel time already holds the idle time
    EXPECT_EQ(idle, 400u);
    // A length that is not a whole number of records counts the whole ones only.
    ASSERT_TRUE(SumProcessorTimes(buffer.data(), buffer.size(), 95, total, idle));
    EXPECT_EQ(total, 450u);
    EXPECT_EQ(idle, 100u);
    ASSERT_TRUE(SumProcessorTimes(buffer.data(), buffer.size(), 0, total, idle));
    EXPECT_EQ(total, 0u);
    // A reported length beyond the buffer is not believed.
    total = idle = 7;
    EXPECT_FALSE(SumProcessorTimes(buffer.data(), 96, 144, total, idle));
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(idle, 0u);
}

}  // namespace
}  // namespace dorn::test
