// The "PhysicalDisk" counter object: one instance per physical disk (named as the kernel names
// it, "sda", "nvme0n1", "vda") and "_Total", from /proc/diskstats.
//
// A physical disk is a whole disk backed by a device: a name listed in /sys/block (partitions
// are not) whose sysfs node is not under /devices/virtual (loop, ram, zram, device-mapper and
// md devices are). Without a readable /sys/block the names decide: loop*, ram*, zram*, dm-*,
// md*, nbd* are virtual, and a name that extends another listed disk's name with a number
// ("sda1", "nvme0n1p2") is a partition.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "CounterModel.h"

namespace winport::pdh {

inline constexpr wchar_t kPhysicalDiskObject[] = L"PhysicalDisk";

const std::vector<CounterInfo>& PhysicalDiskCounters();

// Tells whether a device of /proc/diskstats is a physical disk; gets every device name listed.
using DiskFilter =
    std::function<bool(const std::string& name, const std::vector<std::string>& allNames)>;

// The filter described above, over the given /sys/block directory.
DiskFilter SysBlockDiskFilter(const std::string& sysBlock);

// The object as the text of /proc/diskstats shows it; malformed lines are ignored.
ObjectData ParsePhysicalDiskObject(std::string_view diskStats, const DiskFilter& isPhysicalDisk);

}  // namespace winport::pdh
