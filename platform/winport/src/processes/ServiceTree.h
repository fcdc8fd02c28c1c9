// The systemd services: listed by the service manager over its bus, else found in the cgroup
// tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winport {

struct ServiceUnit {
    std::wstring name;         // unit name without ".service"
    std::wstring displayName;  // the unit name
    std::string cgroupPath;    // Linux path of the unit's cgroup directory (cgroup tree only)
    std::string busPath;       // the unit's object on the service manager's bus (bus only)
};

// The directory holding the services' cgroups: the one a test chose (nullopt when that does not
// exist), else system.slice of the running systemd (unified, hybrid or legacy hierarchy);
// nullopt without systemd.
std::optional<std::string> ServiceRoot();
// Whether a test chose the service root; the service manager's bus is then not asked unless the
// test chose a bus too.
bool ServiceRootChosenByTest();

// Every "*.service" directory under `root`, nested slices included, sorted by name.
std::vector<ServiceUnit> ListServiceUnits(const std::string& root);
// Alphabetical without regard to case, the order the Windows service database keeps.
void SortServiceUnits(std::vector<ServiceUnit>& units);

// The unit's main process as a service manager would guess it from the cgroup subtree: of the
// processes whose parent is outside the subtree (those the manager started, not those they
// forked), the one started last, since helpers the manager runs first come before the main one.
// 0 when the subtree holds no live process (the service is stopped) or has gone.
uint32_t ServiceProcessId(const ServiceUnit& unit);

}  // namespace winport
