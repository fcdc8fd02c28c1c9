// Settings as the plug-in reads them from the local machine's registry. Values read once per
// process are checked in a fresh child process each (death-test machinery), since the first
// read fixes them for the life of the process.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "plugin/Settings.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {
namespace {

const std::wstring kSettingsKey = L"Software\\Zentavo\\Pallido\\Plugins\\dorn\\helpdesk";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    RegistrySandbox m_registry;
    LogCapture m_log;
};

// Runs `check` in a fresh process; it passes when `check` returns true.
template <typename Check>
void InFreshProcess(Check check) {
    EXPECT_EXIT(std::_Exit(check() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(SettingsTest, KeyIsTheMachinePluginsKey) {
    EXPECT_EQ(GetSettingsKey(), L"HKLM\\Software\\Zentavo\\Pallido\\Plugins\\dorn\\helpdesk");
}

TEST_F(SettingsTest, LifetimeDefaultsTo120Seconds) {
    InFreshProcess([] { return GetCollectThreadLifeTime() == 120000; });
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"0");
    InFreshProcess([] { return GetCollectThreadLifeTime() == 120000; });
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"soon");
    InFreshProcess([] { return GetCollectThreadLifeTime() == 120000; });
    // More milliseconds than 32 bits hold is no lifetime anyone meant.
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"99999999");
    InFreshProcess([] { return GetCollectThreadLifeTime() == 120000; });
}

TEST_F(SettingsTest, LifetimeIsReadInSecondsOncePerProcess) {
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"30");
    InFreshProcess([] {
        if (GetCollectThreadLifeTime() != 30000) return false;
        SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"45");
        return GetCollectThreadLifeTime() == 30000;
    });
    SetMachineString(kSettingsKey, L"CollectThreadLifeTimeInSecs", L"-5");
    InFreshProcess([] { return GetCollectThreadLifeTime() == -5000; });
    SetMachineDword(kSettingsKey, L"CollectThreadLifeTimeInSecs", 60);
    InFreshProcess([] { return GetCollectThreadLifeTime() == 60000; });
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

TEST_F(SettingsTest, ThreadNamesAreOnUnlessTheFrameworkFlagSaysOtherwise) {
    InFreshProcess([] { return UseThreadNames(); });
    SetMachineString(L"Software\\Zentavo\\Pallido", L"quillmeshUseThreadNames", L"0");
    InFreshProcess([] {
        if (UseThreadNames()) return false;
        SetMachineString(L"Software\\Zentavo\\Pallido", L"quillmeshUseThreadNames", L"1");
        return !UseThreadNames();
    });
}

TEST_F(SettingsTest, ThreadNamesReadOnceWhenManyThreadsAskAtOnce) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(L"Software\\Zentavo\\Pallido", L"quillmeshUseThreadNames", L"0");
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
