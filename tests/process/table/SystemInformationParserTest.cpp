// The parsers of the system's buffers, on records laid out as Windows lays them: fields, order,
// and buffers whose offsets and pointers lie.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>

#include "SystemInformationParser.h"

namespace dorn::test {
namespace {

namespace L = ProcessInformationLayout;

struct Crafted {
    int64_t pid, created, kernel, user, read, written;
    uint64_t privateBytes, workingSet;
    uint32_t session;
    std::wstring name;
    bool hasName = true;  // false: ImageName.Buffer is null
};

template <typename T>
void Poke(unsigned char* buffer, size_t offset, T value) {
    std::memcpy(buffer + offset, &value, sizeof value);
}

size_t NameBytes(const Crafted& p) {
    return p.hasName ? (p.name.size() + 1) * sizeof(wchar_t) : 0;
}

size_t Span(const Crafted& p) {
    return (L::kRecordSize + NameBytes(p) + 7) / 8 * 8;
}

size_t TableSize(const std::vector<Crafted>& table) {
    size_t size = 0;
    for (const Crafted& p : table) size += Span(p);
    return size;
}

// Each record, then its NUL-terminated name, 8-aligned, with name pointers into `buffer`; what
// does not fit in `size` is left out. Returns the records' offsets.
std::vector<size_t> Lay(const std::vector<Crafted>& table, unsigned char* buffer, size_t size) {
    std::vector<unsigned char> full(TableSize(table), 0);
    std::vector<size_t> offsets;
    for (size_t i = 0, offset = 0; i < table.size(); offset += Span(table[i++])) {
        const Crafted& p = table[i];
        unsigned char* record = full.data() + offset;
        offsets.push_back(offset);
        Poke<uint32_t>(record, L::kNextEntryOffset, i + 1 < table.size() ? Span(p) : 0);
        Poke(record, L::kCreateTime, p.created);
        Poke(record, L::kUserTime, p.user);
        Poke(record, L::kKernelTime, p.kernel);
        const uintptr_t name = reinterpret_cast<uintptr_t>(buffer) + offset + L::kRecordSize;
        Poke<uint64_t>(record, L::kImageNameBuffer, p.hasName ? name : 0);
        Poke(record, L::kUniqueProcessId, p.pid);
        Poke(record, L::kSessionId, p.session);
        Poke(record, L::kPrivatePageCount, p.privateBytes);
        Poke(record, L::kWorkingSetSize, p.workingSet);
        Poke(record, L::kReadTransferCount, p.read);
        Poke(record, L::kWriteTransferCount, p.written);
        std::memcpy(record + L::kRecordSize, p.name.c_str(), NameBytes(p));
    }
    if (size > 0) std::memcpy(buffer, full.data(), std::min(size, full.size()));
    return offsets;
}

const std::vector<Crafted> kTable = {
    {0, 0, 5, 5, 0, 0, 0, 0, 0, L"", false},  // the idle process comes first on Windows
    {700, 300, 11, 12, 13, 14, 0x1'2345'6789ull, 0x5'0000'0000ull, 2, L"editor.exe"},
    {4, 100, 21, 22, 23, 24, 4096, 8192, 0, L"System"},
    {9, 300, 31, 32, 33, 34, 8192, 4096, 1, L"svc.exe"},
};

bool Parse(const std::vector<Crafted>& table, ProcessMap& map, size_t& badOffset,
           const std::function<void(unsigned char*, const std::vector<size_t>&)>& spoil = {}) {
    const size_t size = TableSize(table);
    // Exactly `size` bytes on the heap, so that the address sanitizer sees any overread.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    const std::vector<size_t> offsets = Lay(table, buffer.get(), size);
    if (spoil) spoil(buffer.get(), offsets);
    return ParseProcessInformation(buffer.get(), size, map, badOffset);
}

TEST(ProcessInformationParser, ReadsEveryRecordIntoKeyOrderAddingToTheMap) {
    ProcessMap map;
    // The second round reads into the same map, emptied: it reuses the entries of the first,
    // which must carry nothing over.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        map.clear();
        map[{50, 50}].imageName = L"kept";
        map[{100, 4}].imageName = L"stale";
        std::vector<Crafted> table = kTable;
        table.push_back({77, 1, 0, 0, 0, 0, 0, 0, 0, L"", false});
        size_t badOffset = 0;
        ASSERT_TRUE(Parse(table, map, badOffset));
        ASSERT_EQ(map.size(), 5u);  // the idle process is skipped
        auto entry = map.begin();
        EXPECT_EQ(entry->first, (ProcessKey{1, 77}));
        EXPECT_EQ(entry->second, ProcessCounters{});  // a record without a name buffer
        EXPECT_EQ((++entry)->second, (ProcessCounters{.imageName = L"kept"}));
        EXPECT_EQ((++entry)->first, (ProcessKey{100, 4}));
        EXPECT_EQ(entry->second.imageName, L"System");
        EXPECT_EQ((++entry)->first, (ProcessKey{300, 9}));  // same creation time: lower id first
        EXPECT_EQ((++entry)->first, (ProcessKey{300, 700}));
        const ProcessCounters& editor = entry->second;
        EXPECT_EQ(editor.kernelTime, 11);
        EXPECT_EQ(editor.userTime, 12);
        EXPECT_EQ(editor.bytesRead, 13);
        EXPECT_EQ(editor.bytesWritten, 14);
        EXPECT_EQ(editor.privateBytes, 0x2345'6789u);  // the low 32 bits of more than 4 GiB
        EXPECT_EQ(editor.sessionId, 2u);
        EXPECT_EQ(editor.workingSetBytes, 0x5'0000'0000u);  // all 64 bits
        EXPECT_EQ(editor.imageName, L"editor.exe");
    }
}

TEST(ProcessInformationParser, RefusesRecordsThatReachOutsideTheBuffer) {
    const size_t size = TableSize(kTable);
    auto name = [](unsigned char* b, size_t record, intptr_t at) {
        Poke<uint64_t>(b, record + L::kImageNameBuffer, reinterpret_cast<uintptr_t>(b) + at);
    };
    struct Case {
        const char* what;
        size_t record;
        std::function<void(unsigned char*, size_t)> spoil;
    };
    const Case cases[] = {
        {"next offset past the end", 2,
         [](auto b, size_t r) { Poke<uint32_t>(b, r + L::kNextEntryOffset, 0x10000); }},
        {"next offset inside the record", 1,
         [](auto b, size_t r) { Poke<uint32_t>(b, r + L::kNextEntryOffset, 8); }},
        {"name before the buffer", 1, [&](auto b, size_t r) { name(b, r, -64); }},
        {"name after the buffer", 3, [&](auto b, size_t r) { name(b, r, size); }},
        {"name without a terminator", 3,
         [&](auto b, size_t r) {
             name(b, r, size - sizeof(wchar_t));
             Poke<wchar_t>(b, size - sizeof(wchar_t), L'x');
         }},
    };
    for (const Case& c : cases) {
        ProcessMap map;
        map[{1, 1}].imageName = L"before";
        size_t badOffset = 0;
        size_t expected = 0;
        EXPECT_FALSE(Parse(kTable, map, badOffset, [&](unsigned char* b, const auto& offsets) {
            expected = offsets[c.record];
            c.spoil(b, expected);
        })) << c.what;
        EXPECT_EQ(badOffset, expected) << c.what;
        EXPECT_EQ(map.size(), 1u) << c.what << ": nothing is added from a malformed buffer";
    }
}

TEST(ProcessInformationParser, TruncatedBuffersAreRefusedWithoutReadingPastTheirEnd) {
    const size_t complete = Lay(kTable, nullptr, 0).back() + L::kRecordSize + NameBytes(kTable[3]);
    for (size_t size = 0; size <= TableSize(kTable); ++size) {
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[size > 0 ? size : 1]);
        Lay(kTable, buffer.get(), size);
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
    const size_t size = TableSize(kTable);
    for (int round = 0; round < 3000; ++round) {
        ProcessMap map;
        size_t badOffset = 0;
        const bool ok = Parse(kTable, map, badOffset, [&](unsigned char* b, const auto& offsets) {
            const size_t record = offsets[random() % offsets.size()];
            switch (random() % 3) {
                case 0:
                    Poke(b, record + L::kNextEntryOffset, uint32_t(random() % (size * 2)));
                    break;
                case 1:
                    Poke(b, record + L::kImageNameBuffer,
                         uint64_t(reinterpret_cast<uintptr_t>(b) + random() % (size + 64) - 32));
                    break;
                default:
                    b[random() % size] = static_cast<unsigned char>(random());
            }
        });
        if (!ok) {
            EXPECT_LT(badOffset, size);
            EXPECT_TRUE(map.empty());
        }
    }
}

TEST(ProcessorTimesParser, SumsTheRecordsTheSystemReported) {
    namespace P = ProcessorPerformanceLayout;
    // {idle, kernel, user} of two processors, then room the caller added: not records.
    std::vector<unsigned char> buffer(2 * P::kRecordSize + 16384, 0xAB);
    const uint64_t times[2][3] = {{100, 400, 50}, {300, 600, 10}};
    for (size_t i = 0; i < 2; ++i) {
        Poke(buffer.data(), i * P::kRecordSize + P::kIdleTime, times[i][0]);
        Poke(buffer.data(), i * P::kRecordSize + P::kKernelTime, times[i][1]);
        Poke(buffer.data(), i * P::kRecordSize + P::kUserTime, times[i][2]);
    }
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
    EXPECT_EQ(total + idle, 0u);
}

}  // namespace
}  // namespace dorn::test
