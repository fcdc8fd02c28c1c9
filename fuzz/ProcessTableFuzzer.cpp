// The process table's record walk over arbitrary buffers. An input is a SystemProcessInformation
// buffer as a file holds it: the image name pointers are offsets from the buffer's start, which
// the fuzzer turns into addresses of the copy it parses (a record outside the chain, or a
// pointer far outside the buffer, stays as the input has it).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "SystemInformationParser.h"

namespace {

namespace L = ProcessInformationLayout;
using dorn::fuzz::Require;

// The buffer at an address of its own, exactly `size` bytes long so that any read past its end
// is caught, with the name offsets of the records in its chain made addresses.
std::unique_ptr<unsigned char[]> Relocated(const uint8_t* data, size_t size) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    std::memcpy(buffer.get(), data, size);
    const uint64_t base = reinterpret_cast<uintptr_t>(buffer.get());
    for (size_t offset = 0; size >= L::kRecordSize && offset <= size - L::kRecordSize;) {
        uint64_t name = 0;
        std::memcpy(&name, buffer.get() + offset + L::kImageNameBuffer, sizeof name);
        if (name != 0) name += base;
        std::memcpy(buffer.get() + offset + L::kImageNameBuffer, &name, sizeof name);
        uint32_t next = 0;
        std::memcpy(&next, buffer.get() + offset + L::kNextEntryOffset, sizeof next);
        if (next == 0) break;
        offset += next;
    }
    return buffer;
}

bool SameEntries(const ProcessMap& a, const ProcessMap& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void CheckProcessInformation(const uint8_t* data, size_t size) {
    const std::unique_ptr<unsigned char[]> buffer = Relocated(data, size);
    ProcessMap fresh;
    fresh[{-1, -1}].imageName = L"before";
    const ProcessMap before = fresh;
    size_t badOffset = SIZE_MAX;
    if (!ParseProcessInformation(buffer.get(), size, fresh, badOffset)) {
        Require(SameEntries(fresh, before), "a malformed buffer adds nothing");
        Require(badOffset == 0 || badOffset < size, "the record at fault lies inside the buffer");
        return;
    }
    Require(fresh.size() <= before.size() + size / L::kRecordSize,
            "no more processes than records");
    for (const auto& [key, counters] : fresh) {
        Require(counters.imageName.size() * sizeof(wchar_t) < size,
                "a name lies inside the buffer");
    }
    // A map emptied by a reading before reuses its entries: nothing of them may carry over.
    ProcessMap reused = fresh;
    for (auto& [key, counters] : reused) counters.imageName.assign(64, L'x');
    reused.clear();
    reused[{-1, -1}].imageName = L"before";
    Require(ParseProcessInformation(buffer.get(), size, reused, badOffset),
            "a buffer parses again");
    Require(SameEntries(reused, fresh), "a reused map reads as a fresh one");
}

void CheckProcessorTimes(const uint8_t* data, size_t size) {
    uint64_t total = 1, idle = 1;
    Require(!SumProcessorTimes(data, size, size + 1, total, idle) && total == 0 && idle == 0,
            "a length past the buffer reads as nothing");
    Require(SumProcessorTimes(data, size, size, total, idle), "the whole buffer reads");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckProcessInformation(data, size);
    CheckProcessorTimes(data, size);
    return 0;
}
