// The thread runners: one thread per group-less runner, the thread registry, the name marker,
// and the lines they write through the framework's external logger.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "CoreRunnable.h"
#include "ThreadNameMarker.h"
#include "quillmesh/SysMessage.h"
#include "FaultInjection.h"
#include "FreshProcess.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "Waiting.h"
#include "ThreadQueries.h"

namespace dorn::test {
namespace {

struct Probe {
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    std::atomic<DWORD> threadId{0};
    std::mutex markerLock;        // a group's threads share one probe
    std::vector<uint8_t> marker;  // the last thread's marker
    std::string systemName;       // the last thread's name as the system shows it
};

void HoldUntilReleased(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    const uint8_t* marker = CORE::CurrentThreadNameMarker();
    if (marker != nullptr) {
        std::lock_guard<std::mutex> hold(probe->markerLock);
        probe->marker.assign(marker, marker + 6 + marker[5]);
    }
    {
        std::lock_guard<std::mutex> hold(probe->markerLock);
        probe->systemName = SystemThreadName(GetCurrentThreadId());
    }
    probe->threadId = GetCurrentThreadId();
    probe->started.fetch_add(1);
    while (!probe->release.load()) Sleep(1);
}

size_t RegistryCount() {
    return CORE::AllThreadsRegistry()->threadCount();
}

// Threads leave the registry as their very last step.
bool WaitForRegistryCount(size_t count) {
    return WaitUntil([&] { return RegistryCount() == count; });
}

// Runner threads of earlier tests in this process end on their own, leaving the registry empty.
size_t SettledRegistryCount() {
    EXPECT_TRUE(WaitForRegistryCount(0));
    return RegistryCount();
}

bool WaitForStarts(const Probe& probe, int count) {
    return WaitUntil([&] { return probe.started.load() >= count; });
}

class ThreadRunnerTest : public ::testing::Test {
  protected:
    ~ThreadRunnerTest() override {
        CORE::corerunnable_traceThreads = false;
        CORE::corelogExternal = m_external;
        ForgetInjectedFaults();
    }

    CORE::corerun* NewRunner(const char* name, Probe& probe,
                             CORE::corethreadgroup* group = nullptr) {
        return new CORE::corerun(name, 0, group, CORE::corerunnable_defaultThreadWrapper.load(),
                                 &HoldUntilReleased, &probe);
    }

    LogCapture m_log;
    const size_t m_registryBefore = SettledRegistryCount();
    CORE::corelogExternalFunction m_external = CORE::corelogExternal;
};

TEST_F(ThreadRunnerTest, OneThreadAtATimeWithoutAGroupNamedAndRegistered) {
    Probe probe;
    CORE::corerun* runner = NewRunner("HelpdeskAsync", probe);
    ASSERT_TRUE(runner->start());
    ASSERT_TRUE(WaitForStarts(probe, 1));
    EXPECT_EQ(runner->threadId(), probe.threadId.load());
    EXPECT_EQ(RegistryCount(), m_registryBefore + 1);
    EXPECT_EQ(probe.systemName, "HelpdeskAsync");
    const std::string name = "HelpdeskAsync";
    std::vector<uint8_t> expected = {'n', 'a', 'm',
                                     'e', '=', static_cast<uint8_t>(name.size() + 1)};
    expected.insert(expected.end(), name.begin(), name.end());
    expected.push_back(0);
    EXPECT_EQ(probe.marker, expected);

    EXPECT_FALSE(runner->start());
    EXPECT_TRUE(
        m_log.Has(1, L"corerunnable: ONLY ONE THREAD ALLOWED WHEN NO GROUP, name=HelpdeskAsync"));
    EXPECT_EQ(runner->RefCount(), 2);  // the creator's and the running thread's

    probe.release = true;
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
    EXPECT_EQ(runner->threadId(), 0u);
    EXPECT_EQ(runner->RefCount(), 1);

    // The thread has ended: the runner may start another.
    probe.release = false;
    ASSERT_TRUE(runner->start());
    ASSERT_TRUE(WaitForStarts(probe, 2));
    probe.release = true;
    runner->Release();  // the thread keeps the runner until it ends
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
}

TEST_F(ThreadRunnerTest, ThreadsOfAGroupRunTogetherAndLeaveIt) {
    Probe probe;
    auto* group = new CORE::corethreadgroup("workers");
    CORE::corerun* first = NewRunner("first", probe, group);
    CORE::corerun* second = NewRunner(nullptr, probe, group);
    ASSERT_TRUE(first->start());
    ASSERT_TRUE(second->start());
    ASSERT_TRUE(first->start());  // a group has no one-thread limit
    ASSERT_TRUE(WaitForStarts(probe, 3));
    EXPECT_EQ(group->threadCount(), 3u);
    EXPECT_EQ(RegistryCount(), m_registryBefore + 3);
    probe.release = true;
    first->Release();
    second->Release();
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
    EXPECT_EQ(group->threadCount(), 0u);
    EXPECT_EQ(group->RefCount(), 1);
    group->Release();
}

TEST_F(ThreadRunnerTest, TracingWritesBeginAndEndOnlyWhenOn) {
    Probe probe;
    probe.release = true;
    CORE::corerun* runner = NewRunner(nullptr, probe);
    ASSERT_TRUE(runner->start());
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
    EXPECT_EQ(m_log.CountStartingWith(4, L"Begin '"), 0u);
    EXPECT_EQ(m_log.CountStartingWith(4, L"End '"), 0u);

    CORE::corerunnable_traceThreads = true;
    ASSERT_TRUE(runner->start());
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
    runner->Release();
    EXPECT_EQ(m_log.CountStartingWith(4, L"Begin 'UNNAMED', count=" +
                                             std::to_wstring(m_registryBefore + 1) + L", wrapper="),
              1u);
    EXPECT_TRUE(
        m_log.Has(4, L"End 'UNNAMED', count=" + std::to_wstring(m_registryBefore) + L", group=0"));
    for (const auto& record : m_log.Records()) {
        if (record.level == 4) {
            EXPECT_EQ(record.source, L"threads");
        }
    }
}

TEST_F(ThreadRunnerTest, FailedCreationIsLoggedAndUndone) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    Probe probe;
    probe.release = true;
    CORE::corerun* runner = NewRunner("HelpdeskAsync", probe);
    FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(runner->start());
    EXPECT_TRUE(m_log.Has(
        1, L"corerunnable: FAILED TO CREATE THREAD, name=HelpdeskAsync with error 11, 8"));
    EXPECT_EQ(runner->RefCount(), 1);
    EXPECT_EQ(probe.started.load(), 0);

    // Nothing is logged without the external logger, and the runner still starts afterwards.
    CORE::corelogExternal = nullptr;
    CORE::corerunnable_traceThreads = true;
    m_log.Clear();
    ASSERT_TRUE(runner->start());
    ASSERT_TRUE(WaitForRegistryCount(m_registryBefore));
    EXPECT_EQ(probe.started.load(), 1);
    EXPECT_TRUE(m_log.Records().empty());
    runner->Release();
}

TEST_F(ThreadRunnerTest, NameMarkerIsCutAt254Bytes) {
    const std::string name(300, 'x');
    CORE::SetThreadNameMarker(name.c_str());
    const uint8_t* marker = CORE::CurrentThreadNameMarker();
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(marker), 5), "name=");
    EXPECT_EQ(marker[5], 255);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(marker) + 6), std::string(254, 'x'));
    EXPECT_EQ(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ArbitraryUserPointer, marker);

    CORE::SetThreadNameMarker("");
    marker = CORE::CurrentThreadNameMarker();
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(marker[5], 1);
    EXPECT_EQ(marker[6], 0);

    CORE::SetThreadNameMarker(nullptr);
    EXPECT_EQ(CORE::CurrentThreadNameMarker(), nullptr);
}

// The framework's thread-name flag is read once per process, so this runs in a new one.
TEST_F(ThreadRunnerTest, NoMarkerOrSystemNameWhenThreadNamesAreOff) {
    RegistrySandbox registry;
    SetMachineString(L"Software\\Zentavo\\Pallido", L"quillmeshUseThreadNames", L"0");
    InFreshProcess([] {
        CORE::SetThreadNameMarker("HelpdeskAsync");
        if (CORE::CurrentThreadNameMarker() != nullptr) return false;
        Probe probe;
        probe.release = true;
        auto* runner = new CORE::corerun("HelpdeskAsync", 0, nullptr,
                                         CORE::corerunnable_defaultThreadWrapper.load(),
                                         &HoldUntilReleased, &probe);
        const bool started = runner->start() && WaitForRegistryCount(0);
        runner->Release();
        return started && probe.started == 1 && probe.marker.empty() &&
               probe.systemName != "HelpdeskAsync";
    });
}

}  // namespace
}  // namespace dorn::test
