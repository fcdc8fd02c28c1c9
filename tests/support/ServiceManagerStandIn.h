// A stand-in for systemd's service manager on a private bus of the test's own: a dbus-daemon
// with its own configuration, and on it the manager's ListUnits with each unit's ActiveState and
// MainPID, served from a table on a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestProcesses.h"

struct sd_bus;
struct sd_bus_slot;

namespace dorn::test {

struct StandInUnit {
    std::string name;  // "web.service"
    std::string activeState;
    uint32_t mainPid;
};

class ServiceManagerStandIn {
  public:
    // Starts the bus; the manager answers on it only when `serving`.
    ServiceManagerStandIn(const std::vector<StandInUnit>& units, bool serving = true);
    ~ServiceManagerStandIn();
    ServiceManagerStandIn(const ServiceManagerStandIn&) = delete;
    ServiceManagerStandIn& operator=(const ServiceManagerStandIn&) = delete;

    // The bus's D-Bus address.
    std::string Address() const { return "unix:path=" + (m_directory.Path() / "bus").string(); }

  private:
    void Start(bool serving);

    TempDirectory m_directory;
    std::optional<TestChild> m_daemon;
    std::deque<StandInUnit> m_units;  // not moved while served
    sd_bus* m_bus = nullptr;
    std::vector<sd_bus_slot*> m_slots;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace dorn::test
