// Settings as the plug-in reads them from the local machine's registry. Values read once per
// process are checked in a fresh child process each, since the first read fixes them for the
// life of the process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Settings.h"
#include "FaultInjection.h"
#include "FreshProcess.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

const std::wstring kFrameworkKey = L"Software\\Zentavo\\Pallido";

class SettingsTest : public ::testing::Test {
  protected:
    RegistrySandbox m_registry;
    LogCapture m_log;
};

// Seconds, as text or DWORD, kept in 32-bit milliseconds: 120 s when absent, zero or not a
// number; held at the 32-bit limits when the milliseconds go beyond them. Silently: no line at
// level 2 or above.
TEST_F(SettingsTest, LifetimeIsReadInSecondsWithA120SecondDefault) {
    const struct {
        const wchar_t* text;  // nullptr: the DWORD 60
        int32_t expectedMs;
    } cases[] = {{L"30", 30000},
                 {L"-5", -5000},
                 {L"0", 120000},
                 {L"soon", 120000},
                 {L"2147483", 2147483000},
                 {L"2147484", 2147483647},
                 {L"99999999", 2147483647},
                 {L"2147483647", 2147483647},
                 {L"-2147484", -2147483647 - 1},
                 {L"99999999999", 120000},  // not a 32-bit number of seconds
                 {nullptr, 60000}};
    const auto lifetimeIs = [](int32_t expectedMs) {
        LogCapture log;
        const bool right = GetCollectThreadLifeTime() == expectedMs;
        for (const auto& record : log.Records()) {
            if (record.level >= 2) return false;
        }
        return right;
    };
    InFreshProcess([&] { return lifetimeIs(120000); });
    for (const auto& example : cases) {
        SCOPED_TRACE(example.text ? example.text : L"DWORD 60");
        if (example.text) {
            SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", example.text);
        } else {
            SetMachineDword(kSettingsKey, L"CollectThreadLifeTimeInSecs", 60);
        }
        InFreshProcess([&] { return lifetimeIs(example.expectedMs); });
    }
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"30");
    InFreshProcess([] {
        if (GetCollectThreadLifeTime() != 30000) return false;
        SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"45");
        return GetCollectThreadLifeTime() == 30000;  // read once per process
    });
}

TEST_F(SettingsTest, HistoricalCollectorSwitchIsReadOnEveryCall) {
    EXPECT_FALSE(IsHistoricalCollectorDisabled());
    SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"0");
    EXPECT_FALSE(IsHistoricalCollectorDisabled());
    EXPECT_TRUE(m_log.Records().empty());

    SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"1");
    EXPECT_TRUE(IsHistoricalCollectorDisabled());
    SetMachineString(kSettingsKey, L"DisableHistoricalCollector", L"7");
    EXPECT_TRUE(IsHistoricalCollectorDisabled());
    EXPECT_EQ(m_log.Count(1, L"Historical collector was disabled"), 2u);
    EXPECT_EQ(m_log.Records().size(), 2u);
}

// On by default, off with the flag "0": ThreadRunnerTest.
TEST_F(SettingsTest, ThreadNamesReadOnceWhenManyThreadsAskAtOnce) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(kFrameworkKey, L"quillmeshUseThreadNames", L"0");
    InFreshProcess([] {
        // Any read after the first would find the key unreadable and answer the default, on.
        FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED, /*skip=*/1, /*times=*/0);
        std::vector<std::thread> threads;
        std::atomic<int> onAnswers{0};
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                if (UseThreadNames()) ++onAnswers;
            });
        }
        for (auto& thread : threads) thread.join();
        return onAnswers == 0;
    });
}

}  // namespace
}  // namespace dorn::test
