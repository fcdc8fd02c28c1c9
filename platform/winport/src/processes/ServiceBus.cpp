#include "ServiceBus.h"

#include <systemd/sd-bus.h>
#include <windows.h>
#include <winport/testing.h>

#include <cstdlib>
#include <string_view>

#include "WideText.h"

namespace winport {
namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr std::string_view kServiceSuffix = ".service";

std::mutex g_addressLock;
std::string g_addressOverride;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using UniqueMessage = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error freed on every path.
class BusError {
  public:
    ~BusError() { sd_bus_error_free(&m_error); }
    sd_bus_error* get() { return &m_error; }

  private:
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

std::string ChosenAddress() {
    std::lock_guard<std::mutex> lock(g_addressLock);
    return g_addressOverride;
}

// The system bus, or the bus at `address`; nullptr when it cannot be reached.
sd_bus* OpenBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) return sd_bus_open_system(&bus) >= 0 ? bus : nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

bool IsServiceName(std::string_view name) {
    return name.size() > kServiceSuffix.size() &&
           name.substr(name.size() - kServiceSuffix.size()) == kServiceSuffix;
}

}  // namespace

ServiceState StateOfUnit(const std::string& activeState, uint32_t mainPid) {
    if (mainPid == 0 || activeState == "inactive" || activeState == "failed") {
        return {SERVICE_STOPPED, 0};
    }
    if (activeState == "activating") return {SERVICE_START_PENDING, mainPid};
    if (activeState == "deactivating") return {SERVICE_STOP_PENDING, mainPid};
    return {SERVICE_RUNNING, mainPid};
}

std::shared_ptr<ServiceBus> ServiceBus::Connect(std::vector<ServiceUnit>& units) {
    const std::string address = ChosenAddress();
    // A test's own service tree stands alone unless the test also chose a bus.
    if (address.empty() && ServiceRootChosenByTest()) return nullptr;
    sd_bus* bus = OpenBus(address);
    if (bus == nullptr) return nullptr;
    std::shared_ptr<ServiceBus> connection(new ServiceBus(bus));
    std::optional<std::vector<ServiceUnit>> listed = connection->ListServices();
    if (!listed) return nullptr;
    units = std::move(*listed);
    return connection;
}

ServiceBus::~ServiceBus() {
    sd_bus_flush_close_unref(m_bus);
}

std::optional<std::vector<ServiceUnit>> ServiceBus::ListServices() {
    std::lock_guard<std::mutex> lock(m_lock);
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(m_bus, &raw, kManagerName, kManagerPath, kManagerInterface,
                                       "ListUnits") < 0) {
        return std::nullopt;
    }
    UniqueMessage call(raw);
    // A bus without the manager must not start one.
    sd_bus_message_set_auto_start(call.get(), 0);
    BusError error;
    raw = nullptr;
    if (sd_bus_call(m_bus, call.get(), 0, error.get(), &raw) < 0) return std::nullopt;
    UniqueMessage reply(raw);
    if (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "(ssssssouso)") < 0) {
        return std::nullopt;
    }
    std::vector<ServiceUnit> units;
    const char *name, *description, *loadState, *activeState, *subState, *following, *path;
    const char *jobType, *jobPath;
    uint32_t jobId;
    int read;
    while ((read = sd_bus_message_read(reply.get(), "(ssssssouso)", &name, &description, &loadState,
                                       &activeState, &subState, &following, &path, &jobId, &jobType,
                                       &jobPath)) > 0) {
        const std::string_view unit(name);
        if (!IsServiceName(unit)) continue;
        units.push_back({DecodeUtf8(unit.substr(0, unit.size() - kServiceSuffix.size())),
                         DecodeUtf8(unit),
                         {},
                         path});
    }
    if (read < 0) return std::nullopt;
    SortServiceUnits(units);
    return units;
}

ServiceState ServiceBus::StateOf(const ServiceUnit& unit) {
    std::lock_guard<std::mutex> lock(m_lock);
    BusError error;
    char* activeState = nullptr;
    if (sd_bus_get_property_string(m_bus, kManagerName, unit.busPath.c_str(), kUnitInterface,
                                   "ActiveState", error.get(), &activeState) < 0) {
        return {SERVICE_STOPPED, 0};
    }
    const std::string state(activeState);
    std::free(activeState);
    uint32_t mainPid = 0;
    if (sd_bus_get_property_trivial(m_bus, kManagerName, unit.busPath.c_str(), kServiceInterface,
                                    "MainPID", error.get(), 'u', &mainPid) < 0) {
        return {SERVICE_STOPPED, 0};
    }
    return StateOfUnit(state, mainPid);
}

namespace testing {

void SetServiceManagerBus(const std::string& address) {
    std::lock_guard<std::mutex> lock(g_addressLock);
    g_addressOverride = address;
}

}  // namespace testing
}  // namespace winport
