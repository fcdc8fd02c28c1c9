// "EndProcess" on real processes: the end itself with the values the process list reported,
// and each refusal.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwctype>

#include "ProcessArithmetic.h"
#include "ProcessMetrics.h"
#include "ProcessSnapshot.h"
#include "ProtectionFixture.h"
#include "FaultInjection.h"

namespace dorn::test {
namespace {

const std::wstring kPrefix = L"ProcessTerminator::EndProcess: ";

// The child's entry as "ProcessMetrics" reports it.
ProcessIdentity FromProcessMetrics(DWORD pid) {
    CORE::PropertyBag reply;
    EXPECT_TRUE(HandleProcessMetrics(CORE::PropertyBag(), reply));
    const CORE::PropertyBag metrics = reply.getBag(L"processMetrics");
    CORE::PropertyBag process;
    for (size_t position = metrics.getNextBag(L"process", process, 0); position != 0;
         position = metrics.getNextBag(L"process", process, position)) {
        if (process.getInt64(L"id") == pid) {
            return {pid, process.getInt64(L"create_time"), L"", process.get(L"name")};
        }
    }
    ADD_FAILURE() << "pid " << pid << " is not listed";
    return {};
}

using EndProcessTest = ProtectionTest;

TEST_F(EndProcessTest, EndsTheProcessTheListReported) {
    TestChild child(Sleeper());
    const ProcessIdentity listed = FromProcessMetrics(child.Pid());
    EXPECT_EQ(listed.name, ImageName(Sleeper().path));
    LogCapture log;
    CORE::PropertyBag reply;
    ASSERT_TRUE(ProcessTerminator::EndProcess(EndRequest(listed), reply));
    EXPECT_TRUE(reply.empty());
    EXPECT_FALSE(reply.isError());
    EXPECT_TRUE(child.WaitEnded(5000));
    EXPECT_TRUE(log.Has(0, L"ProcessChecker::IsProcessInBlackList: Process '" +
                               WindowsPath(Sleeper().path) + L"' is not in the black list"));
    ProcessMap after;
    ASSERT_TRUE(TakeProcessSnapshot(after));
    for (const auto& [key, counters] : after) {
        EXPECT_FALSE(key.processId == child.Pid() &&
                     CreationTimeToUnixSeconds(key.creationTime) == listed.createTime)
            << "still listed";
    }
}

TEST_F(EndProcessTest, RefusesValuesThatNoLongerDescribeTheProcess) {
    TestChild child(Sleeper());
    const ProcessIdentity listed = Identify(child.Pid());
    for (int64_t offset : {-1, 1}) {
        ProcessIdentity off = listed;
        off.createTime += offset;
        ExpectEndRefused(EndRequest(off), {L"creation time not matched."}, &child);
    }
    const std::wstring nameMismatch = kPrefix + L"Process name not matched.";
    ProcessIdentity upper = listed;
    for (wchar_t& c : upper.name) c = static_cast<wchar_t>(std::towupper(c));
    ExpectEndRefused(EndRequest(upper), {nameMismatch}, &child);
    CORE::PropertyBag nameless;
    nameless.addInt64(L"processId", listed.id);
    nameless.addInt64(L"createTime", listed.createTime);
    ExpectEndRefused(nameless, {nameMismatch}, &child);
    // Only the low 32 bits of the creation time count: this one gets as far as the name.
    ProcessIdentity high = upper;
    high.createTime = listed.createTime | (int64_t(0x7FFF) << 32);
    ExpectEndRefused(EndRequest(high), {nameMismatch}, &child);

    child.Kill();
    ExpectEndRefused(EndRequest(listed),
                     {kPrefix + L"Error occurs when terminate a process (id: " +
                      std::to_wstring(listed.id) + L"), error code: 87"},
                     nullptr);
}

TEST_F(EndProcessTest, ProtectedProcessesAreNotAllowed) {
    auto refusal = [](const ProcessIdentity& process) {
        return kPrefix + L"Process '" + process.path + L"(" + std::to_wstring(process.id) +
               L")' is in black list; not allowed to terminate it.";
    };
    // An agent executable in the host's directory (Linux: named without the Windows suffix).
    const std::wstring name = HasLinuxApiLayer() ? L"sarn" : L"sarn.exe";
    const auto agent = OwnExecutable().parent_path() / name;
    CopyExecutable(Sleeper().path, agent);
    {
        TestChild child({agent.string(), Sleeper().arguments});
        const ProcessIdentity identity = Identify(child.Pid());
        EXPECT_EQ(identity.name, name);
        ExpectEndRefused(EndRequest(identity), {refusal(identity)}, &child, L"not allowed");
    }
    std::error_code error;
    EXPECT_TRUE(std::filesystem::remove(agent, error)) << error.message();
    // A service's process (Linux: the fixture's; Windows: one of the system's).
    const ProcessIdentity service = Identify(ServiceProcessIds().at(0));
    ExpectEndRefused(EndRequest(service), {refusal(service)}, nullptr, L"not allowed");
}

TEST_F(EndProcessTest, ImagePathLongerThanTheBufferIsRefused) {
    if (!HasLinuxApiLayer()) {
        GTEST_SKIP() << "CreateProcessW cannot start a program whose path is longer than "
                        "MAX_PATH (under Wine: error 2, or 123 without the \\?\\ prefix)";
    }
    TempDirectory root;
    std::filesystem::path directory = root.Path();
    while (directory.native().size() < 300) directory /= "a-directory-with-a-long-name";
    std::filesystem::create_directories(directory);
    const auto program = directory / std::filesystem::path(Sleeper().path).filename();
    CopyExecutable(Sleeper().path, program);
    TestChild child({program.string(), Sleeper().arguments});
    ProcessIdentity listed = Identify(child.Pid());
    ExpectEndRefused(EndRequest(listed), {L"Failed to get process image name, error is 0x7a"},
                     &child);
}

TEST_F(EndProcessTest, FailuresOfEachCall) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    TestChild child(Sleeper());
    const ProcessIdentity listed = Identify(child.Pid());
    const std::wstring pid = std::to_wstring(listed.id);
    struct Case {
        const char* api;
        DWORD code;
        unsigned skip;
        std::wstring line;
        std::wstring then = L"";
    };
    const Case cases[] = {
        {"GetProcessTimes", ERROR_ACCESS_DENIED, 0, L"Failed to get process times, error is 0x5",
         L"creation time not matched."},
        {"QueryFullProcessImageNameW", ERROR_INSUFFICIENT_BUFFER, 0,
         L"Failed to get process image name, error is 0x7a"},
        {"OpenProcess", ERROR_ACCESS_DENIED, 0,
         kPrefix + L"Error occurs when terminate a process (id: " + pid + L"), error code: 5"},
        {"OpenProcess", ERROR_ACCESS_DENIED, 1,
         kPrefix + L"Failed to open process '" + listed.path + L"' for termination, error code: 5"},
        {"TerminateProcess", ERROR_ACCESS_DENIED, 0,
         kPrefix + L"Error occurs when terminate process (id: " + pid + L"), error code: 5"},
    };
    for (const Case& c : cases) {
        FailCall(c.api, c.code, c.skip);
        ExpectEndRefused(EndRequest(listed), {c.line, c.then.empty() ? c.line : c.then}, &child);
    }
}

}  // namespace
}  // namespace dorn::test
