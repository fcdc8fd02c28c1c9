// The systemd services of the cgroup tree, as the service manager presents them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winport {

struct ServiceUnit {
    std::wstring name;         // unit name without ".service"
    std::wstring displayName;  // the unit name
    std::string cgroupPath;    // Linux path of the unit's cgroup directory
};

// The directory holding the services' cgroups: the one a test chose, else system.slice of the
// running systemd (unified, hybrid or legacy hierarchy); nullopt without systemd.
std::optional<std::string> ServiceRoot();

// Every "*.service" directory under `root`, nested slices included, sorted by name.
std::vector<ServiceUnit> ListServiceUnits(const std::string& root);

// The lowest process id in the unit's cgroup subtree; 0 when it holds none (the service is
// stopped) or has gone.
uint32_t ServiceProcessId(const ServiceUnit& unit);

}  // namespace winport
