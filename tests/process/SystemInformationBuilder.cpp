#include "tests/process/SystemInformationBuilder.h"

namespace dorn::test {
namespace {

namespace L = ProcessInformationLayout;

size_t NameBytes(const CraftedProcess& process) {
    return process.hasName ? (process.name.size() + 1) * sizeof(wchar_t) : 0;
}

size_t RecordSpan(const CraftedProcess& process) {
    return (L::kRecordSize + NameBytes(process) + 7) / 8 * 8;
}

}  // namespace

size_t ProcessTableBuilder::Size() const {
    size_t size = 0;
    for (const CraftedProcess& process : m_processes) size += RecordSpan(process);
    return size;
}

std::vector<size_t> ProcessTableBuilder::RecordOffsets() const {
    std::vector<size_t> offsets;
    size_t offset = 0;
    for (const CraftedProcess& process : m_processes) {
        offsets.push_back(offset);
        offset += RecordSpan(process);
    }
    return offsets;
}

size_t ProcessTableBuilder::EndOfLastName() const {
    if (m_processes.empty()) return 0;
    return RecordOffsets().back() + L::kRecordSize + NameBytes(m_processes.back());
}

void ProcessTableBuilder::WriteInto(unsigned char* buffer, size_t size) const {
    std::vector<unsigned char> full(Size(), 0);
    size_t offset = 0;
    for (size_t i = 0; i < m_processes.size(); ++i) {
        const CraftedProcess& process = m_processes[i];
        unsigned char* record = full.data() + offset;
        const uint32_t next = i + 1 < m_processes.size() ? RecordSpan(process) : 0;
        Poke(record, L::kNextEntryOffset, next);
        Poke(record, L::kCreateTime, process.createTime);
        Poke(record, L::kUserTime, process.userTime);
        Poke(record, L::kKernelTime, process.kernelTime);
        Poke(record, 0x38, static_cast<uint16_t>(process.name.size() * sizeof(wchar_t)));
        Poke(record, 0x3A, static_cast<uint16_t>(NameBytes(process)));
        const uint64_t name =
            process.hasName ? reinterpret_cast<uintptr_t>(buffer) + offset + L::kRecordSize : 0;
        Poke(record, L::kImageNameBuffer, name);
        Poke(record, L::kUniqueProcessId, process.processId);
        Poke(record, L::kSessionId, process.sessionId);
        Poke(record, L::kPrivatePageCount, process.privateBytes);
        Poke(record, L::kReadTransferCount, process.readBytes);
        Poke(record, L::kWriteTransferCount, process.writeBytes);
        if (process.hasName) {
            std::memcpy(record + L::kRecordSize, process.name.c_str(), NameBytes(process));
        }
        offset += RecordSpan(process);
    }
    std::memcpy(buffer, full.data(), std::min(size, full.size()));
}

std::vector<unsigned char> ProcessTableBuilder::Build() const {
    std::vector<unsigned char> buffer(Size(), 0);
    WriteInto(buffer.data(), buffer.size());
    return buffer;
}

std::vector<unsigned char> BuildProcessorTable(const std::vector<std::vector<uint64_t>>& cpus) {
    namespace P = ProcessorPerformanceLayout;
    std::vector<unsigned char> buffer(cpus.size() * P::kRecordSize, 0);
    for (size_t i = 0; i < cpus.size(); ++i) {
        Poke(buffer.data(), i * P::kRecordSize + P::kIdleTime, cpus[i][0]);
        Poke(buffer.data(), i * P::kRecordSize + P::kKernelTime, cpus[i][1]);
        Poke(buffer.data(), i * P::kRecordSize + P::kUserTime, cpus[i][2]);
    }
    return buffer;
}

}  // namespace dorn::test
