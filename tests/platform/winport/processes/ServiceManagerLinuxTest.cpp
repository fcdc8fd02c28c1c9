// The Linux layer's service manager and the service rule of the protection list over it: the
// service manager's bus when one answers (a stand-in on a private bus), the cgroup tree when
// none does, service lists that take more than one batch, and no service manager at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <windows.h>
#include <winport/testing.h>

#include <fstream>

#include "UniqueHandle.h"
#include "ProtectionFixture.h"
#include "ServiceManagerStandIn.h"
#include "FaultInjection.h"
#include "Waiting.h"

namespace dorn::test {
namespace {

const std::wstring kDecision = L"ProcessChecker::IsProcessInBlackList: ";
const std::wstring kAdding = L"ProcessChecker::ExtractServiceToCustomizedSet: Adding process ";

void WriteGroup(const std::filesystem::path& root, const std::string& relative,
                const std::vector<DWORD>& pids) {
    std::filesystem::create_directories(root / relative);
    std::ofstream procs(root / relative / "cgroup.procs");
    for (DWORD pid : pids) procs << pid << "\n";
}

struct ServiceRow {
    std::wstring name;
    DWORD state;
    DWORD pid;
    bool operator==(const ServiceRow&) const = default;
};

// Every service in `state`, walked one entry per call, as the service manager lists them.
std::vector<ServiceRow> ListServices(DWORD state) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    EXPECT_TRUE(manager) << GetLastError();
    std::vector<ServiceRow> rows;
    DWORD resume = 0, needed = 0, count = 0;
    std::vector<BYTE> buffer(4096);
    while (manager && rows.size() < 50) {
        const BOOL done = EnumServicesStatusExW(
            manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, state, buffer.data(),
            sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 40 * sizeof(WCHAR), &needed, &count, &resume,
            nullptr);
        EXPECT_TRUE(done || GetLastError() == ERROR_MORE_DATA) << GetLastError();
        EXPECT_EQ(count, 1u);
        if (count != 1) break;
        const auto* entry = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        rows.push_back({entry->lpServiceName, entry->ServiceStatusProcess.dwCurrentState,
                        entry->ServiceStatusProcess.dwProcessId});
        if (done) break;
    }
    EXPECT_EQ(resume, 0u);
    return rows;
}

// The process id QueryServiceStatusEx gives for `name`.
DWORD ServiceProcessId(const std::wstring& name) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        << name;
    return status.dwProcessId;
}

class WinportServices : public ::testing::Test {
  protected:
    void SetUp() override { winport::testing::SetServiceRoot(m_tree.Path().string()); }
    void TearDown() override {
        winport::testing::SetServiceRoot("");
        winport::testing::SetServiceManagerBus("");
    }
    TempDirectory m_tree;
};

TEST_F(WinportServices, ServiceManagerOverACgroupTree) {
    TestChild web(Sleeper());
    TestChild getty(Sleeper());
    WriteGroup(m_tree.Path(), "Web.service", {web.Pid()});
    WriteGroup(m_tree.Path(), "Web.service/worker", {getty.Pid() + 100000});  // gone
    WriteGroup(m_tree.Path(), "system-getty.slice/getty@tty1.service", {getty.Pid()});
    WriteGroup(m_tree.Path(), "idle.service", {});
    WriteGroup(m_tree.Path(), "user.scope", {1});
    const size_t handles = winport::testing::OpenHandleCount();
    EXPECT_EQ(ListServices(SERVICE_STATE_ALL),
              (std::vector<ServiceRow>{{L"getty@tty1", SERVICE_RUNNING, getty.Pid()},
                                       {L"idle", SERVICE_STOPPED, 0},
                                       {L"Web", SERVICE_RUNNING, web.Pid()}}));
    EXPECT_EQ(ListServices(SERVICE_INACTIVE),
              (std::vector<ServiceRow>{{L"idle", SERVICE_STOPPED, 0}}));
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        UniqueServiceHandle service(
            OpenServiceW(manager.get(), L"web.SERVICE", SERVICE_QUERY_STATUS));
        ASSERT_TRUE(service);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        EXPECT_FALSE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<LPBYTE>(&status), 35, &needed));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(needed, 36u);
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), 36, &needed));
        EXPECT_EQ(status.dwProcessId, web.Pid());
        EXPECT_EQ(status.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_FALSE(OpenServiceW(manager.get(), L"user", SERVICE_QUERY_STATUS));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(service.get())));
    }
    EXPECT_EQ(winport::testing::OpenHandleCount(), handles);
}

// Without the manager's word, a service's process is the one the manager started: not a helper
// it forked, nor a helper started before it, whatever their ids.
TEST_F(WinportServices, ACgroupsMainProcessIsTheOneTheManagerStarted) {
    TestChild forking(Program{"/bin/sh", {"-c", "sleep 30 & wait"}});
    std::string children;
    const std::string childrenFile = "/proc/" + std::to_string(forking.Pid()) + "/task/" +
                                     std::to_string(forking.Pid()) + "/children";
    ASSERT_TRUE(WaitUntil([&] { return (std::ifstream(childrenFile) >> children).good(); }));
    const DWORD forked = std::stoul(children);
    TestChild helper(Sleeper());
    TestChild main(Sleeper());
    const struct {
        std::string group;
        std::vector<DWORD> pids;
        DWORD expected;
    } cases[] = {
        {"forking.service", {forked, forking.Pid()}, forking.Pid()},
        {"forking-worker.service", {forking.Pid()}, forking.Pid()},
        {"helper-first.service", {main.Pid(), helper.Pid()}, main.Pid()},
        {"stopped.service", {forked + 1000000}, 0},
    };
    for (const auto& c : cases) WriteGroup(m_tree.Path(), c.group, c.pids);
    WriteGroup(m_tree.Path(), "forking-worker.service/worker", {forked});
    for (const auto& c : cases) {
        const std::string name = c.group.substr(0, c.group.find('.'));
        EXPECT_EQ(ServiceProcessId(std::wstring(name.begin(), name.end())), c.expected) << name;
    }
    kill(static_cast<pid_t>(forked), SIGKILL);
}

// The manager's bus is asked first; its word beats the cgroup tree's guess. A bus without the
// manager, or no bus at all, leaves the cgroup tree.
TEST_F(WinportServices, ServiceManagerOnTheBusElseTheCgroupTree) {
    TestChild web(Sleeper());
    TestChild other(Sleeper());
    WriteGroup(m_tree.Path(), "web.service", {other.Pid()});
    const std::vector<StandInUnit> units = {{"web.service", "active", web.Pid()},
                                            {"idle.service", "inactive", 0},
                                            {"failed.service", "failed", other.Pid()},
                                            {"starting.service", "activating", other.Pid()},
                                            {"stopping.service", "deactivating", other.Pid()},
                                            {"reloading.service", "reloading", other.Pid()},
                                            {"gone.service", "active", 0},
                                            {"sda.device", "active", 0}};
    {
        ServiceManagerStandIn manager(units);
        winport::testing::SetServiceManagerBus(manager.Address());
        EXPECT_EQ(ListServices(SERVICE_STATE_ALL),
                  (std::vector<ServiceRow>{{L"failed", SERVICE_STOPPED, 0},
                                           {L"gone", SERVICE_STOPPED, 0},
                                           {L"idle", SERVICE_STOPPED, 0},
                                           {L"reloading", SERVICE_RUNNING, other.Pid()},
                                           {L"starting", SERVICE_START_PENDING, other.Pid()},
                                           {L"stopping", SERVICE_STOP_PENDING, other.Pid()},
                                           {L"web", SERVICE_RUNNING, web.Pid()}}));
        EXPECT_EQ(ServiceProcessId(L"web"), web.Pid());
    }
    {
        ServiceManagerStandIn bus(units, false);
        winport::testing::SetServiceManagerBus(bus.Address());
        EXPECT_EQ(ServiceProcessId(L"web"), other.Pid());
    }
    winport::testing::SetServiceManagerBus("unix:path=" + (m_tree.Path() / "nobus").string());
    EXPECT_EQ(ListServices(SERVICE_ACTIVE),
              (std::vector<ServiceRow>{{L"web", SERVICE_RUNNING, other.Pid()}}));
}

// The protection list's service rule over a stand-in manager: the process of an active service
// is refused though its path is not listed, that of a service not active is not, whether the
// services come in one batch or in several.
class ServiceRuleTest : public ProtectionTest {
  protected:
    void TearDown() override {
        winport::testing::SetServiceManagerBus("");
        winport::testing::SetServiceBatchLimit(0);
        ProtectionTest::TearDown();
    }
};

TEST_F(ServiceRuleTest, ProcessesOfActiveServicesAreRefusedInEveryBatch) {
    const std::vector<std::string> states = {"active",       "reloading", "activating",
                                             "deactivating", "inactive",  "failed"};
    const bool refused[] = {true, true, true, true, false, false};
    std::vector<std::unique_ptr<TestChild>> children;
    std::vector<StandInUnit> units;
    for (const std::string& state : states) {
        children.push_back(std::make_unique<TestChild>(Sleeper()));
        units.push_back(
            {"s" + std::to_string(units.size()) + ".service", state, children.back()->Pid()});
    }
    ServiceManagerStandIn manager(units);
    winport::testing::SetServiceManagerBus(manager.Address());
    const std::wstring path = WindowsPath(Sleeper().path);
    for (size_t batch : {0, 1, 4}) {
        winport::testing::SetServiceBatchLimit(batch);
        for (size_t i = 0; i < units.size(); ++i) {
            LogCapture log;
            const DWORD pid = children[i]->Pid();
            EXPECT_EQ(Refused(path, pid), refused[i]) << units[i].name << " batch " << batch;
            EXPECT_EQ(
                log.Has(0, kDecision + L"Service list contains '" + std::to_wstring(pid) + L"'"),
                refused[i]);
            // Each active service's process, in the manager's order, and nothing else.
            std::vector<std::wstring> added;
            for (const std::wstring& line : log.Messages()) {
                if (line.starts_with(kAdding)) added.push_back(line.substr(kAdding.size()));
            }
            std::vector<std::wstring> expected;
            for (size_t j = 0; j < units.size(); ++j) {
                if (refused[j])
                    expected.push_back(std::to_wstring(children[j]->Pid()) + L" to black list");
            }
            EXPECT_EQ(added, expected) << "batch " << batch;
            for (const auto& record : log.Records()) EXPECT_LT(record.level, 2) << record.message;
        }
    }
}

TEST_F(ServiceRuleTest, ABatchThatFailsKeepsTheServicesBeforeIt) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    TestChild first(Sleeper());
    TestChild second(Sleeper());
    ServiceManagerStandIn manager(
        {{"a.service", "active", first.Pid()}, {"b.service", "active", second.Pid()}});
    winport::testing::SetServiceManagerBus(manager.Address());
    winport::testing::SetServiceBatchLimit(1);
    const std::wstring path = WindowsPath(Sleeper().path);
    const struct {
        unsigned skip;  // calls of EnumServicesStatusExW that go through first
        std::wstring line;
    } cases[] = {
        {2,
         L"ServiceEnumerator::GetEnumBufferSize: EnumServicesStatusEx: failed to get needed "
         L"buffer size, error: 6"},
        {3,
         L"ServiceEnumerator::EnumService: EnumServicesStatusEx: failed to query service, "
         L"error: 6"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        FailCall("EnumServicesStatusExW", ERROR_INVALID_HANDLE, c.skip);
        EXPECT_TRUE(Refused(path, first.Pid())) << c.skip;
        ForgetInjectedFaults();
        EXPECT_TRUE(log.Has(4, c.line)) << c.skip;
        FailCall("EnumServicesStatusExW", ERROR_INVALID_HANDLE, c.skip);
        EXPECT_FALSE(Refused(path, second.Pid())) << c.skip;
        ForgetInjectedFaults();
    }
}

TEST_F(ServiceRuleTest, WithoutAServiceManagerEachDecisionSaysSoOnce) {
    TempDirectory root;
    winport::testing::SetServiceRoot((root.Path() / "none").string());
    TestChild child(Sleeper());
    LogCapture log;
    EXPECT_FALSE(Refused(WindowsPath(Sleeper().path), child.Pid()));
    EXPECT_EQ(log.Count(4,
                        L"ServiceEnumerator::EnumerateServices: Failed to open service "
                        L"manager, error: 1722"),
              1u);
    for (const auto& record : log.Records()) {
        EXPECT_TRUE(record.level < 2 || record.message.starts_with(L"ServiceEnumerator::"))
            << record.message;
    }
}

}  // namespace
}  // namespace dorn::test
