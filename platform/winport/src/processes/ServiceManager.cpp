// The service control manager calls.
#include <unistd.h>
#include <windows.h>

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include <winport/testing.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "Handles.h"
#include "InjectedFailure.h"
#include "ServiceBus.h"
#include "ServiceTree.h"
#include "UnixAccounts.h"

namespace {

// The most one enumeration call returns, as on Windows; a test may lower it to a count of
// services.
constexpr size_t kMaxBatchBytes = 256 * 1024;
std::atomic<size_t> g_batchLimit{0};

constexpr DWORD kManagerReadRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceReadRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                     SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                     READ_CONTROL;

// Where states and process ids come from: the service manager's bus when it answers, else
// the cgroup tree.
using Bus = std::shared_ptr<winport::ServiceBus>;

winport::ServiceState StateOf(const Bus& bus, const winport::ServiceUnit& unit) {
    if (bus) return bus->StateOf(unit);
    const uint32_t pid = winport::ServiceProcessId(unit);
    return {pid != 0 ? DWORD(SERVICE_RUNNING) : DWORD(SERVICE_STOPPED), pid};
}

// Both kinds are closed with CloseServiceHandle, not CloseHandle.
class ServiceObject : public winport::HandleObject {
  public:
    bool ClosedByCloseHandle() const override { return false; }
};

class ManagerObject : public ServiceObject {
  public:
    ManagerObject(Bus bus, std::vector<winport::ServiceUnit> units, DWORD access)
        : m_bus(std::move(bus)), m_units(std::move(units)), m_access(access) {}
    const Bus& ServiceBus() const { return m_bus; }
    const std::vector<winport::ServiceUnit>& Units() const { return m_units; }
    bool HasRights(DWORD rights) const { return (m_access & rights) == rights; }

  private:
    Bus m_bus;
    std::vector<winport::ServiceUnit> m_units;  // the database as it was when opened
    DWORD m_access;
};

class ServiceHandleObject : public ServiceObject {
  public:
    ServiceHandleObject(Bus bus, winport::ServiceUnit unit, DWORD access)
        : m_bus(std::move(bus)), m_unit(std::move(unit)), m_access(access) {}
    winport::ServiceState State() const { return StateOf(m_bus, m_unit); }
    const winport::ServiceUnit& Unit() const { return m_unit; }
    bool HasRights(DWORD rights) const { return (m_access & rights) == rights; }

  private:
    Bus m_bus;
    winport::ServiceUnit m_unit;
    DWORD m_access;
};

bool MayChangeServices() {
    return geteuid() == 0;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

bool IsLocalMachine(LPCWSTR machineName) {
    if (machineName == nullptr || machineName[0] == L'\0') return true;
    std::wstring name(machineName);
    if (name.rfind(L"\\\\", 0) == 0) name.erase(0, 2);
    return EqualNoCase(name, winport::HostDomainName());
}

SERVICE_STATUS_PROCESS StatusOf(const winport::ServiceState& state) {
    SERVICE_STATUS_PROCESS status;
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwProcessId = state.pid;
    status.dwCurrentState = state.state;
    status.dwControlsAccepted = state.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    return status;
}

bool StateSelected(DWORD state, const SERVICE_STATUS_PROCESS& status) {
    const bool running = status.dwCurrentState != SERVICE_STOPPED;
    return running ? (state & SERVICE_ACTIVE) != 0 : (state & SERVICE_INACTIVE) != 0;
}

struct Selected {
    const winport::ServiceUnit* unit;
    SERVICE_STATUS_PROCESS status;
    size_t index;  // in the manager's list
};

size_t EntrySize(const winport::ServiceUnit& unit) {
    return sizeof(ENUM_SERVICE_STATUS_PROCESSW) +
           (unit.name.size() + 1 + unit.displayName.size() + 1) * sizeof(WCHAR);
}

// Writes `entry` at `slot` and its strings below `stringTop`, which moves down.
void WriteEntry(const Selected& entry, BYTE* slot, BYTE*& stringTop) {
    auto place = [&stringTop](const std::wstring& text) {
        stringTop -= (text.size() + 1) * sizeof(WCHAR);
        std::memcpy(stringTop, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        return reinterpret_cast<LPWSTR>(stringTop);
    };
    ENUM_SERVICE_STATUS_PROCESSW record;
    std::memset(&record, 0, sizeof record);
    record.lpServiceName = place(entry.unit->name);
    record.lpDisplayName = place(entry.unit->displayName);
    record.ServiceStatusProcess = entry.status;
    std::memcpy(slot, &record, sizeof record);
}

template <typename T>
std::shared_ptr<T> FindServiceObject(SC_HANDLE handle) {
    return winport::FindHandleOf<T>(reinterpret_cast<HANDLE>(handle));
}

bool IsServiceObject(const winport::HandleObject& object) {
    return dynamic_cast<const ServiceObject*>(&object) != nullptr;
}

}  // namespace

extern "C" {

WINPORT_API SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                            DWORD desiredAccess) {
    if (winport::InjectedFailure("OpenSCManagerW")) return nullptr;
    if (!IsLocalMachine(machineName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (databaseName != nullptr && !EqualNoCase(databaseName, SERVICES_ACTIVE_DATABASEW)) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    if ((desiredAccess & ~kManagerReadRights) != 0 && !MayChangeServices()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::vector<winport::ServiceUnit> units;
    Bus bus = winport::ServiceBus::Connect(units);
    if (!bus) {
        std::optional<std::string> root = winport::ServiceRoot();
        if (!root) {
            // No systemd: there is no service manager to talk to.
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return nullptr;
        }
        units = winport::ListServiceUnits(*root);
    }
    auto manager = std::make_shared<ManagerObject>(std::move(bus), std::move(units), desiredAccess);
    return reinterpret_cast<SC_HANDLE>(winport::InsertHandle(std::move(manager)));
}

WINPORT_API BOOL WINAPI EnumServicesStatusExW(SC_HANDLE managerHandle, SC_ENUM_TYPE infoLevel,
                                              DWORD serviceType, DWORD serviceState,
                                              LPBYTE services, DWORD bufferSize,
                                              LPDWORD bytesNeeded, LPDWORD servicesReturned,
                                              LPDWORD resumeHandle, LPCWSTR groupName) {
    if (winport::InjectedFailure("EnumServicesStatusExW")) return FALSE;
    std::shared_ptr<ManagerObject> manager = FindServiceObject<ManagerObject>(managerHandle);
    if (!manager) return FALSE;
    if (infoLevel != SC_ENUM_PROCESS_INFO) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (bytesNeeded == nullptr || servicesReturned == nullptr ||
        (serviceType & (SERVICE_WIN32 | SERVICE_DRIVER)) == 0 || serviceState == 0 ||
        (serviceState & ~static_cast<DWORD>(SERVICE_STATE_ALL)) != 0 ||
        (services == nullptr && bufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!manager->HasRights(SC_MANAGER_ENUMERATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Services have no load-order groups here: a named group holds none of them. Every unit is
    // a Win32 service in a process of its own, never a driver.
    const bool anyGroup = groupName == nullptr;
    const bool win32 = (serviceType & SERVICE_WIN32_OWN_PROCESS) != 0;
    const auto& units = manager->Units();
    const size_t start = resumeHandle != nullptr ? *resumeHandle : 0;
    std::vector<Selected> selected;
    for (size_t i = start; anyGroup && win32 && i < units.size(); ++i) {
        SERVICE_STATUS_PROCESS status = StatusOf(StateOf(manager->ServiceBus(), units[i]));
        if (StateSelected(serviceState, status)) selected.push_back({&units[i], status, i});
    }
    // Strings are whole characters from the top of the buffer down.
    const size_t usable =
        std::min<size_t>(bufferSize, kMaxBatchBytes) / sizeof(WCHAR) * sizeof(WCHAR);
    const size_t limit = g_batchLimit.load() != 0 ? g_batchLimit.load() : selected.size();
    BYTE* stringTop = services + usable;
    size_t written = 0;
    size_t used = 0;
    while (written < selected.size() && written < limit &&
           used + EntrySize(*selected[written].unit) <= usable) {
        WriteEntry(selected[written], services + written * sizeof(ENUM_SERVICE_STATUS_PROCESSW),
                   stringTop);
        used += EntrySize(*selected[written].unit);
        ++written;
    }
    *servicesReturned = static_cast<DWORD>(written);
    if (written < selected.size()) {
        size_t rest = 0;
        for (size_t i = written; i < selected.size(); ++i) rest += EntrySize(*selected[i].unit);
        *bytesNeeded = static_cast<DWORD>(rest);
        if (resumeHandle != nullptr) *resumeHandle = static_cast<DWORD>(selected[written].index);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    *bytesNeeded = 0;
    if (resumeHandle != nullptr) *resumeHandle = 0;
    return TRUE;
}

WINPORT_API SC_HANDLE WINAPI OpenServiceW(SC_HANDLE managerHandle, LPCWSTR serviceName,
                                          DWORD desiredAccess) {
    if (winport::InjectedFailure("OpenServiceW")) return nullptr;
    std::shared_ptr<ManagerObject> manager = FindServiceObject<ManagerObject>(managerHandle);
    if (!manager) return nullptr;
    if (serviceName == nullptr || serviceName[0] == L'\0') {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if ((desiredAccess & ~kServiceReadRights) != 0 && !MayChangeServices()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const std::wstring name(serviceName);
    for (const winport::ServiceUnit& unit : manager->Units()) {
        if (EqualNoCase(name, unit.name) || EqualNoCase(name, unit.displayName)) {
            auto service =
                std::make_shared<ServiceHandleObject>(manager->ServiceBus(), unit, desiredAccess);
            return reinterpret_cast<SC_HANDLE>(winport::InsertHandle(std::move(service)));
        }
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

WINPORT_API BOOL WINAPI QueryServiceStatusEx(SC_HANDLE serviceHandle, SC_STATUS_TYPE infoLevel,
                                             LPBYTE buffer, DWORD bufferSize, LPDWORD bytesNeeded) {
    if (winport::InjectedFailure("QueryServiceStatusEx")) return FALSE;
    std::shared_ptr<ServiceHandleObject> service =
        FindServiceObject<ServiceHandleObject>(serviceHandle);
    if (!service) return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!service->HasRights(SERVICE_QUERY_STATUS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (bytesNeeded != nullptr) *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (buffer == nullptr || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS status = StatusOf(service->State());
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

WINPORT_API BOOL WINAPI CloseServiceHandle(SC_HANDLE object) {
    if (winport::InjectedFailure("CloseServiceHandle")) return FALSE;
    if (!winport::RemoveHandle(reinterpret_cast<HANDLE>(object), IsServiceObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"

namespace winport::testing {

void SetServiceBatchLimit(size_t services) {
    g_batchLimit = services;
}

}  // namespace winport::testing
