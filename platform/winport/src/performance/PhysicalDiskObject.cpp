#include "PhysicalDiskObject.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "ProcText.h"
#include "Utf8.h"

namespace winport::pdh {
namespace {

constexpr uint64_t kSectorBytes = 512;  // /proc/diskstats counts 512-byte sectors on every disk

// The first eleven statistics of a /proc/diskstats line (the kernel documents them in this
// order); times are milliseconds.
struct DiskStats {
    uint64_t reads = 0, readsMerged = 0, sectorsRead = 0, readMs = 0;
    uint64_t writes = 0, writesMerged = 0, sectorsWritten = 0, writeMs = 0;
    uint64_t inFlight = 0, busyMs = 0, weightedMs = 0;

    void Add(const DiskStats& other) {
        reads += other.reads;
        sectorsRead += other.sectorsRead;
        readMs += other.readMs;
        writes += other.writes;
        sectorsWritten += other.sectorsWritten;
        writeMs += other.writeMs;
        inFlight += other.inFlight;
        busyMs += other.busyMs;
        weightedMs += other.weightedMs;
    }
};

struct DiskLine {
    std::string name;
    DiskStats stats;
};

CounterInfo Rate(const wchar_t* name, double factor, DWORD perfType, bool percent = false) {
    return CounterInfo{name, CounterKind::Rate, factor, percent, perfType};
}

CounterInfo Average(const wchar_t* name) {
    // Milliseconds of transfers per transfer, shown in seconds.
    return CounterInfo{name, CounterKind::Ratio, 0.001, false, PERF_AVERAGE_TIMER};
}

std::optional<DiskLine> ParseDiskLine(std::string_view line) {
    const std::vector<std::string_view> words = proctext::Words(line);
    if (words.size() < 14) return std::nullopt;
    DiskLine disk{std::string(words[2]), {}};
    DiskStats& s = disk.stats;
    uint64_t* fields[] = {&s.reads,    &s.readsMerged,  &s.sectorsRead,    &s.readMs,
                          &s.writes,   &s.writesMerged, &s.sectorsWritten, &s.writeMs,
                          &s.inFlight, &s.busyMs,       &s.weightedMs};
    for (size_t i = 0; i < std::size(fields); ++i) {
        if (!proctext::ParseNumber(words[i + 3], *fields[i])) return std::nullopt;
    }
    return disk;
}

RawValue Count(uint64_t value) {
    return RawValue{0.0, value, 0};
}
RawValue Fraction(uint64_t value, uint64_t base) {
    return RawValue{0.0, value, base};
}

// The same order as PhysicalDiskCounters().
std::vector<std::optional<RawValue>> Values(const DiskStats& s) {
    const uint64_t transfers = s.reads + s.writes;
    return {Count(s.busyMs),
            Count(s.readMs),
            Count(s.writeMs),
            RawValue{static_cast<double>(s.inFlight), 0, 0},
            Count(s.reads),
            Count(s.writes),
            Count(transfers),
            Count(s.sectorsRead * kSectorBytes),
            Count(s.sectorsWritten * kSectorBytes),
            Count((s.sectorsRead + s.sectorsWritten) * kSectorBytes),
            Fraction(s.readMs, s.reads),
            Fraction(s.writeMs, s.writes),
            Fraction(s.readMs + s.writeMs, transfers)};
}

bool HasVirtualName(const std::string& name) {
    static constexpr std::array<std::string_view, 6> prefixes = {"loop", "ram", "zram",
                                                                 "dm-",  "md",  "nbd"};
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view prefix) { return name.rfind(prefix, 0) == 0; });
}

// "sda1" of "sda", "nvme0n1p2" of "nvme0n1", "mmcblk0p1" of "mmcblk0".
bool IsPartitionOf(const std::string& name, const std::string& disk) {
    if (name.size() <= disk.size() || name.compare(0, disk.size(), disk) != 0) return false;
    std::string_view rest = std::string_view(name).substr(disk.size());
    if (rest.front() == 'p' && std::isdigit(static_cast<unsigned char>(disk.back())))
        rest.remove_prefix(1);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

bool PhysicalByName(const std::string& name, const std::vector<std::string>& allNames) {
    if (HasVirtualName(name)) return false;
    return std::none_of(allNames.begin(), allNames.end(),
                        [&](const std::string& other) { return IsPartitionOf(name, other); });
}

bool DirectoryReadable(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return false;
    closedir(directory);
    return true;
}

std::optional<std::string> LinkTarget(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<size_t>(length));
    return target;
}

}  // namespace

const std::vector<CounterInfo>& PhysicalDiskCounters() {
    static const std::vector<CounterInfo> counters = {
        // Milliseconds busy per second of elapsed time, as a percentage.
        Rate(L"% Disk Time", 0.1, PERF_100NSEC_TIMER, true),
        Rate(L"% Disk Read Time", 0.1, PERF_100NSEC_TIMER, true),
        Rate(L"% Disk Write Time", 0.1, PERF_100NSEC_TIMER, true),
        CounterInfo{L"Current Disk Queue Length", CounterKind::Raw, 1.0, false,
                    PERF_COUNTER_RAWCOUNT},
        Rate(L"Disk Reads/sec", 1.0, PERF_COUNTER_COUNTER),
        Rate(L"Disk Writes/sec", 1.0, PERF_COUNTER_COUNTER),
        Rate(L"Disk Transfers/sec", 1.0, PERF_COUNTER_COUNTER),
        Rate(L"Disk Read Bytes/sec", 1.0, PERF_COUNTER_BULK_COUNT),
        Rate(L"Disk Write Bytes/sec", 1.0, PERF_COUNTER_BULK_COUNT),
        Rate(L"Disk Bytes/sec", 1.0, PERF_COUNTER_BULK_COUNT),
        Average(L"Avg. Disk sec/Read"),
        Average(L"Avg. Disk sec/Write"),
        Average(L"Avg. Disk sec/Transfer"),
    };
    return counters;
}

DiskFilter SysBlockDiskFilter(const std::string& sysBlock) {
    if (!DirectoryReadable(sysBlock)) return PhysicalByName;
    return [sysBlock](const std::string& name, const std::vector<std::string>&) {
        if (name.empty() || name.find('/') != std::string::npos) return false;
        const std::optional<std::string> target = LinkTarget(sysBlock + "/" + name);
        return target && target->find("/devices/virtual/") == std::string::npos;
    };
}

ObjectData ParsePhysicalDiskObject(std::string_view diskStats, const DiskFilter& isPhysicalDisk) {
    std::vector<DiskLine> lines;
    proctext::ForEachLine(diskStats, [&](std::string_view text) {
        if (std::optional<DiskLine> disk = ParseDiskLine(text)) lines.push_back(std::move(*disk));
    });
    std::vector<std::string> names;
    for (const DiskLine& line : lines) names.push_back(line.name);

    ObjectData object{kPhysicalDiskObject, PhysicalDiskCounters(), true, {}};
    DiskStats total;
    for (const DiskLine& line : lines) {
        if (!isPhysicalDisk(line.name, names)) continue;
        std::wstring instance;
        utf8::Decode(line.name, instance);
        object.instances.push_back({std::move(instance), Values(line.stats)});
        total.Add(line.stats);
    }
    object.instances.push_back({L"_Total", Values(total)});
    return object;
}

}  // namespace winport::pdh
