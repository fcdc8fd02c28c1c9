// The service manager's public interface: systemd's manager object on the system bus (or the bus
// a test chose), asked for its service units, each unit's state and its main process.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ServiceTree.h"

struct sd_bus;

namespace winport {

// A service's state as the Windows service manager reports it: SERVICE_STOPPED with no process,
// else SERVICE_START_PENDING, SERVICE_RUNNING or SERVICE_STOP_PENDING with its main process.
struct ServiceState {
    uint32_t state;
    uint32_t pid;
};

// Maps a unit's ActiveState and MainPID: a unit runs while it has a main process.
ServiceState StateOfUnit(const std::string& activeState, uint32_t mainPid);

// One connection to the service manager. Calls are serialized: a bus connection serves one
// caller at a time.
class ServiceBus {
  public:
    // The connection with the manager's service units, or nullptr when there is no bus or no
    // service manager on it.
    static std::shared_ptr<ServiceBus> Connect(std::vector<ServiceUnit>& units);
    ~ServiceBus();
    ServiceBus(const ServiceBus&) = delete;
    ServiceBus& operator=(const ServiceBus&) = delete;

    // The unit's state now; stopped when the manager no longer knows it or does not answer.
    ServiceState StateOf(const ServiceUnit& unit);

  private:
    explicit ServiceBus(sd_bus* bus) : m_bus(bus) {}
    std::optional<std::vector<ServiceUnit>> ListServices();

    std::mutex m_lock;
    sd_bus* m_bus;
};

}  // namespace winport
