#include "ServiceManagerStandIn.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <fstream>

#include "Waiting.h"

namespace dorn::test {
namespace {

int ListUnits(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const auto& units = *static_cast<const std::deque<StandInUnit>*>(userdata);
    sd_bus_message* reply = nullptr;
    int result = sd_bus_message_new_method_return(call, &reply);
    if (result < 0) return result;
    result = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "(ssssssouso)");
    for (const StandInUnit& unit : units) {
        char* path = nullptr;
        if (result >= 0)
            result = sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.name.c_str(), &path);
        if (result >= 0) {
            result = sd_bus_message_append(reply, "(ssssssouso)", unit.name.c_str(), "", "loaded",
                                           unit.activeState.c_str(), "", "", path, 0u, "", "/");
        }
        std::free(path);
    }
    if (result >= 0) result = sd_bus_message_close_container(reply);
    if (result >= 0) result = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return result;
}

int ActiveState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s",
                                 static_cast<const StandInUnit*>(userdata)->activeState.c_str());
}

int MainPid(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "u", static_cast<const StandInUnit*>(userdata)->mainPid);
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListUnits", "", "a(ssssssouso)", ListUnits, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kUnit[] = {SD_BUS_VTABLE_START(0),
                               SD_BUS_PROPERTY("ActiveState", "s", ActiveState, 0, 0),
                               SD_BUS_VTABLE_END};
const sd_bus_vtable kService[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("MainPID", "u", MainPid, 0, 0), SD_BUS_VTABLE_END};

sd_bus* Connect(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

}  // namespace

ServiceManagerStandIn::ServiceManagerStandIn(const std::vector<StandInUnit>& units, bool serving)
    : m_units(units.begin(), units.end()) {
    Start(serving);
}

void ServiceManagerStandIn::Start(bool serving) {
    const std::filesystem::path config = m_directory.Path() / "bus.conf";
    std::ofstream(config) << "<busconfig><type>custom</type><listen>" << Address()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow own=\"*\"/>"
                             "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                             "</policy></busconfig>\n";
    m_daemon.emplace(Program{"/usr/bin/dbus-daemon",
                             {"--config-file=" + config.string(), "--nofork", "--nopidfile"}});
    // The socket is there once the daemon listens.
    ASSERT_TRUE(WaitUntil([&] { return (m_bus = Connect(Address())) != nullptr; }))
        << "no bus at " << Address();
    if (!serving) return;
    auto add = [this](const char* path, const char* interface, const sd_bus_vtable* table,
                      void* data) {
        sd_bus_slot* slot = nullptr;
        ASSERT_GE(sd_bus_add_object_vtable(m_bus, &slot, path, interface, table, data), 0) << path;
        m_slots.push_back(slot);
    };
    add("/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", kManager, &m_units);
    for (StandInUnit& unit : m_units) {
        char* path = nullptr;
        ASSERT_GE(sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.name.c_str(), &path),
                  0);
        add(path, "org.freedesktop.systemd1.Unit", kUnit, &unit);
        add(path, "org.freedesktop.systemd1.Service", kService, &unit);
        std::free(path);
    }
    ASSERT_GE(sd_bus_request_name(m_bus, "org.freedesktop.systemd1", 0), 0);
    m_thread = std::thread([this] {
        while (!m_stop) {
            const int handled = sd_bus_process(m_bus, nullptr);
            if (handled < 0) break;
            // Wakes now and then to see whether the test is done.
            if (handled == 0) sd_bus_wait(m_bus, 20000);
        }
    });
}

ServiceManagerStandIn::~ServiceManagerStandIn() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (sd_bus_slot* slot : m_slots) sd_bus_slot_unref(slot);
    if (m_bus != nullptr) sd_bus_flush_close_unref(m_bus);
}

}  // namespace dorn::test
