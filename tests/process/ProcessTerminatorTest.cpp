// "EndProcess" on real processes: the end itself with the values the process list reported,
// and each refusal.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>
#include <winport/testing.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "plugin/UniqueHandle.h"
#include "process/ProcessMetrics.h"
#include "process/ProcessTerminator.h"
#include "tests/process/ProtectionFixture.h"

namespace dorn::test {
namespace {

const wchar_t* const kPrefix = L"ProcessTerminator::EndProcess: ";
constexpr uid_t kNobody = 65534;

struct Listed {
    int64_t id = 0;
    int64_t createTime = 0;
    std::wstring name;
};

// The child's entry as "ProcessMetrics" reports it.
Listed FromProcessMetrics(pid_t pid) {
    CORE::PropertyBag reply;
    EXPECT_TRUE(HandleProcessMetrics(CORE::PropertyBag(), reply));
    const CORE::PropertyBag metrics = reply.getBag(L"processMetrics");
    CORE::PropertyBag process;
    for (size_t position = metrics.getNextBag(L"process", process, 0); position != 0;
         position = metrics.getNextBag(L"process", process, position)) {
        if (process.getInt64(L"id") == pid) {
            return {pid, process.getInt64(L"create_time"), process.get(L"name")};
        }
    }
    ADD_FAILURE() << "pid " << pid << " is not listed";
    return {};
}

// The same values, read straight from the process (faster than a one-second measurement).
Listed FromProcess(pid_t pid) {
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    EXPECT_TRUE(process);
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(process.get(), &creation, &exit, &kernel, &user));
    const uint64_t fileTime = (uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    WCHAR path[MAX_PATH];
    DWORD size = MAX_PATH;
    EXPECT_TRUE(QueryFullProcessImageNameW(process.get(), 0, path, &size));
    std::wstring full(path, size);
    return {pid, (static_cast<int64_t>(fileTime / 10000) - 11644473600000) / 1000,
            full.substr(full.rfind(L'\\') + 1)};
}

CORE::PropertyBag Request(const Listed& listed) {
    CORE::PropertyBag request;
    request.addInt64(L"processId", listed.id);
    request.addInt64(L"createTime", listed.createTime);
    request.add(L"processName", listed.name);
    return request;
}

class EndProcessTest : public ProtectionTest {
  protected:
    // Runs EndProcess and checks what every refusal has in common: false, no reply entries,
    // the given error text (empty: none), handles all closed, the child untouched.
    void ExpectRefused(const CORE::PropertyBag& request, const std::vector<std::wstring>& lines,
                       TestChild* child, const std::wstring& error = L"") {
        LogCapture log;
        const size_t handles = winport::testing::OpenHandleCount();
        CORE::PropertyBag reply;
        EXPECT_FALSE(ProcessTerminator::EndProcess(request, reply));
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(reply.isError(), !error.empty());
        EXPECT_EQ(reply.getErrorText(), error);
        EXPECT_EQ(winport::testing::OpenHandleCount(), handles) << "a handle leaked";
        for (const std::wstring& line : lines) {
            EXPECT_TRUE(log.Has(4, line)) << std::string(line.begin(), line.end());
        }
        if (child != nullptr) {
            EXPECT_TRUE(child->Running());
        }
    }
};

TEST_F(EndProcessTest, EndsTheProcessTheListReported) {
    TestChild child(SleepProgram());
    const Listed listed = FromProcessMetrics(child.Pid());
    EXPECT_EQ(listed.name, L"sleep");
    LogCapture log;
    CORE::PropertyBag reply;
    ASSERT_TRUE(ProcessTerminator::EndProcess(Request(listed), reply));
    EXPECT_TRUE(reply.empty());
    EXPECT_FALSE(reply.isError());
    const std::optional<int> status = child.WaitEnded(5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::IsProcessInBlackList: Process '" +
                               ToZPath(SleepProgram()) + L"' is not in the black list"));
}

TEST_F(EndProcessTest, RefusesValuesThatNoLongerDescribeTheProcess) {
    TestChild child(SleepProgram());
    const Listed listed = FromProcess(child.Pid());
    for (int64_t offset : {-1, 1}) {
        Listed off = listed;
        off.createTime += offset;
        ExpectRefused(Request(off), {L"creation time not matched."}, &child);
    }
    Listed upper = listed;
    upper.name = L"SLEEP";
    ExpectRefused(Request(upper), {std::wstring(kPrefix) + L"Process name not matched."}, &child);
    CORE::PropertyBag nameless;
    nameless.addInt64(L"processId", listed.id);
    nameless.addInt64(L"createTime", listed.createTime);
    ExpectRefused(nameless, {std::wstring(kPrefix) + L"Process name not matched."}, &child);
    // Only the low 32 bits of the creation time count: this one gets as far as the name.
    Listed high = upper;
    high.createTime = listed.createTime | (int64_t(0x7FFF) << 32);
    ExpectRefused(Request(high), {std::wstring(kPrefix) + L"Process name not matched."}, &child);

    child.Kill();
    ExpectRefused(Request(listed),
                  {std::wstring(kPrefix) + L"Error occurs when terminate a process (id: " +
                   std::to_wstring(listed.id) + L"), error code: 87"},
                  nullptr);
}

TEST_F(EndProcessTest, RefusesAProcessThatReusedTheId) {
    auto first = std::make_unique<TestChild>(SleepProgram());
    const Listed listed = FromProcess(first->Pid());
    // A second later the new process's creation time differs in whole seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const pid_t pid = first->Pid();
    first.reset();
    TestChild second(SleepProgram(), {"30"}, std::nullopt, pid);
    if (second.Pid() != pid) GTEST_SKIP() << "cannot create a process with a chosen id here";
    ExpectRefused(Request(listed), {L"creation time not matched."}, &second);
}

TEST_F(EndProcessTest, ProtectedProcessesAreNotAllowed) {
    auto refusal = [](const std::string& program, pid_t pid) {
        return std::wstring(kPrefix) + L"Process '" + ToZPath(program) + L"(" +
               std::to_wstring(pid) + L")' is in black list; not allowed to terminate it.";
    };
    // An agent executable in the host's directory.
    const std::string agent =
        (std::filesystem::path(OwnExecutable()).parent_path() / "dorn.exe").string();
    const bool created = !std::filesystem::exists(agent);
    if (created) CopyExecutable(SleepProgram(), agent);
    {
        TestChild child(agent);
        const Listed listed = FromProcess(child.Pid());
        EXPECT_EQ(listed.name, L"dorn.exe");
        ExpectRefused(Request(listed), {refusal(agent, child.Pid())}, &child, L"not allowed");
    }
    if (created) std::filesystem::remove(agent);

    // A system executable, and a service's process.
    const std::string systemProgram = Scratch() + "/system/csrss.exe";
    CopyExecutable(SleepProgram(), systemProgram);
    TestChild core(systemProgram);
    ExpectRefused(Request(FromProcess(core.Pid())), {refusal(systemProgram, core.Pid())}, &core,
                  L"not allowed");
    TestChild service(SleepProgram());
    AddService("helper.service", std::to_string(service.Pid()));
    ExpectRefused(Request(FromProcess(service.Pid())), {refusal(SleepProgram(), service.Pid())},
                  &service, L"not allowed");
}

TEST_F(EndProcessTest, ProcessThatMayBeInspectedButNotSignalled) {
    // Another account's process, checked from a thread without the right to signal others.
    TestChild child(SleepProgram(), {"30"}, kNobody);
    const Listed listed = FromProcess(child.Pid());
    RunWithoutCapability(CAP_KILL, [&] {
        ExpectRefused(Request(listed),
                      {std::wstring(kPrefix) + L"Failed to open process '" +
                       ToZPath(SleepProgram()) + L"' for termination, error code: 5"},
                      &child);
    });
}

TEST_F(EndProcessTest, FailuresOfEachCall) {
    TestChild child(SleepProgram());
    const Listed listed = FromProcess(child.Pid());
    const std::wstring pid = std::to_wstring(listed.id);
    winport::testing::FailCall("GetProcessTimes", ERROR_ACCESS_DENIED);
    ExpectRefused(Request(listed),
                  {L"Failed to get process times, error is 0x5", L"creation time not matched."},
                  &child);
    winport::testing::FailCall("QueryFullProcessImageNameW", ERROR_INSUFFICIENT_BUFFER);
    ExpectRefused(Request(listed), {L"Failed to get process image name, error is 0x7a"}, &child);
    winport::testing::FailCall("OpenProcess", ERROR_ACCESS_DENIED);
    ExpectRefused(Request(listed),
                  {std::wstring(kPrefix) + L"Error occurs when terminate a process (id: " + pid +
                   L"), error code: 5"},
                  &child);
    winport::testing::FailCall("OpenProcess", ERROR_ACCESS_DENIED, 1);
    ExpectRefused(Request(listed),
                  {std::wstring(kPrefix) + L"Failed to open process '" + ToZPath(SleepProgram()) +
                   L"' for termination, error code: 5"},
                  &child);
    winport::testing::FailCall("TerminateProcess", ERROR_ACCESS_DENIED);
    ExpectRefused(Request(listed),
                  {std::wstring(kPrefix) + L"Error occurs when terminate process (id: " + pid +
                   L"), error code: 5"},
                  &child);
}

TEST_F(EndProcessTest, ImagePathLongerThanTheBufferIsRefused) {
    std::string directory = Scratch();
    while (directory.size() < 300) directory += "/a-directory-with-a-long-name";
    MakeDirectories(directory);
    const std::string program = directory + "/sleep";
    CopyExecutable(SleepProgram(), program);
    TestChild child(program);
    Listed listed{child.Pid(), 0, L"sleep"};
    {
        UniqueKernelHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child.Pid()));
        FILETIME creation, exit, kernel, user;
        ASSERT_TRUE(GetProcessTimes(process.get(), &creation, &exit, &kernel, &user));
        const uint64_t fileTime =
            (uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
        listed.createTime = (static_cast<int64_t>(fileTime / 10000) - 11644473600000) / 1000;
    }
    ExpectRefused(Request(listed), {L"Failed to get process image name, error is 0x7a"}, &child);
}

}  // namespace
}  // namespace dorn::test
