// Session data read from the registry keys other agent components write: client information,
// logon profile and display topology, and the reader's failure paths.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "session/SessionRegistryKey.h"
#include "tests/platform/RegistryTestSupport.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/Bags.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {
namespace {

const std::wstring kSessionData = L"Software\\Zentavo\\Pallido\\SessionData\\";
const std::wstring kSession3 = kSessionData + L"3";

// Value names of HKLM\`keyPath` in the order RegEnumValueW gives them: the order they were
// written in on Windows and on Linux, sorted by name under Wine.
std::vector<std::wstring> EnumerationOrder(const std::wstring& keyPath) {
    registry_test::ScopedKey key;
    if (registry_test::Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), key) != ERROR_SUCCESS) return {};
    return registry_test::ValueNames(key.Get());
}

// "été" in the ANSI code page, in Base64: UTF-8 on Linux, Windows-1252 on a Western
// Windows; empty in any other code page.
std::wstring AnsiBase64OfEte() {
    char bytes[8] = {};
    const int size =
        WideCharToMultiByte(CP_ACP, 0, L"\u00e9t\u00e9", 3, bytes, sizeof bytes, nullptr, nullptr);
    if (size == 5) return L"w6l0w6k=";                    // UTF-8
    if (size == 3 && bytes[0] == '\xE9') return L"6XTp";  // Windows-1252
    return L"";
}

class SessionDataTest : public ::testing::Test {
  protected:
    RegistrySandbox m_registry;
    LogCapture m_log;
};

TEST_F(SessionDataTest, ClientInfoMapsKnownTextValuesInEnumerationOrder) {
    SetMachineString(kSession3, L"KestlClient_Machine_Name", L"DESK-07");
    SetMachineString(kSession3, L"KestlClient_Language", L"nb-NO");
    SetMachineDword(kSession3, L"KestlClient_Client_ID", 42);  // not text: never listed
    SetMachineString(kSession3, L"KestlClient_Unknown", L"x");
    SetMachineString(kSession3, L"kestlclient_ip_address", L"10.9.9.9");  // case differs
    SetMachineString(kSession3, L"KestlClient_Displays.Number", L"");
    SetMachineString(kSession3, L"KestlClient_TZID", L"Europe/Oslo");
    SetMachineString(kSession3, L"KestlClient_Displays.Topology", L"%SystemRoot%", REG_EXPAND_SZ);

    const Answer answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    ASSERT_EQ(KeysOf(answer.reply), std::vector<std::wstring>{L"client_info"});
    const std::map<std::wstring, std::pair<const wchar_t*, const wchar_t*>> known = {
        {L"KestlClient_Machine_Name", {L"machine_name", L"DESK-07"}},
        {L"KestlClient_Language", {L"language", L"nb-NO"}},
        {L"KestlClient_Displays.Number", {L"display_number", L""}},
        {L"KestlClient_TZID", {L"tzid", L"Europe/Oslo"}}};
    CORE::PropertyBag expected;
    for (const std::wstring& name : EnumerationOrder(kSession3)) {
        if (known.count(name) != 0) expected.add(known.at(name).first, known.at(name).second);
    }
    ASSERT_EQ(expected.size(), known.size());
    EXPECT_EQ(Json(answer.reply.getBag(L"client_info")), Json(expected));
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name KestlClient_Unknown in registry"));
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name kestlclient_ip_address in registry"));
    EXPECT_TRUE(m_log.Has(0, L"Session property: KestlClient_TZID, value: Europe/Oslo"));
    EXPECT_FALSE(
        m_log.Has(0, L"Session property: KestlClient_Displays.Topology, value: %SystemRoot%"));

    // A key with no values, or none that are known, answers an empty bag.
    CreateMachineKey(kSessionData + L"4");
    SetMachineString(kSessionData + L"5", L"Other", L"1");
    for (int32_t session : {4, 5}) {
        const Answer empty = Handle(SessionRequest(L"ClientInfo", session));
        ASSERT_TRUE(empty.result) << session;
        EXPECT_EQ(Json(empty.reply), "{\"client_info\": {}}");
    }
}

TEST_F(SessionDataTest, LogonTimeIsTheProfileInBase64OrFailsWithoutAReplyEntry) {
    CreateMachineKey(kSession3);
    Answer answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.reply.getErrorText(), L"failed to get logon time metrics");
    EXPECT_EQ(m_log.Messages(),
              (std::vector<std::wstring>{
                  L"Failed to get value length for value name ProfilerData, error: 0x2",
                  L"Failed to get logon time info from registry",
                  L"GetLogonTimeInfo: failed to get log on time info"}));

    // Text that has no form in the ANSI code page.
    SetMachineString(kSession3, L"ProfilerData", L"ok" + std::wstring(1, wchar_t(0xD800)));
    answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_TRUE(answer.reply.isError());
    EXPECT_FALSE(answer.reply.contains(L"logon_time"));

    for (const auto& [text, base64] : {std::pair<std::wstring, std::wstring>{L"abc", L"YWJj"},
                                       {L"", L""},
                                       {L"\u00e9t\u00e9", AnsiBase64OfEte()}}) {
        if (base64.empty() && !text.empty()) continue;  // another ANSI code page
        SetMachineString(kSession3, L"ProfilerData", text);
        answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
        ASSERT_TRUE(answer.result);
        EXPECT_EQ(KeysOf(answer.reply), std::vector<std::wstring>{L"logon_time"});
        EXPECT_EQ(answer.reply.get(L"logon_time"), base64);
    }
}

TEST_F(SessionDataTest, TelemetryIsOneBagWithOneEntryAndNeedsItsOwnKey) {
    SetMachineString(kSession3, L"ProfilerData", L"abc");
    Answer answer = Handle(SessionRequest(L"VexelTelemetry", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.reply.getErrorText(), L"failed to get vexel telemetry");

    SetMachineString(L"Software\\Zentavo\\Pallido\\Vexel\\Telemetry\\3",
                     L"KestlClient_Current_Topology", L"2x1920x1080@96");
    answer = Handle(SessionRequest(L"VexelTelemetry", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_EQ(Json(answer.reply), "{\"current_topology\": {\"topology\": \"2x1920x1080@96\"}}");
}

// The reader itself.
class SessionRegistryKeyTest : public SessionDataTest {};

TEST_F(SessionRegistryKeyTest, ReadValueTakesAnyTypeAsTextUpToTheFirstNul) {
    SetMachineString(kSession3, L"Multi", std::wstring(L"first\0second\0", 13), REG_MULTI_SZ);
    SetMachineBinary(kSession3, L"Bytes", {});
    // Session 0 is the subkey named "0", not the parent key.
    SetMachineString(kSessionData + L"0", L"ProfilerData", L"zero");
    SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData", L"ProfilerData", L"parent");
    std::wstring text;
    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"Multi", text));
    EXPECT_EQ(text, L"first");
    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"Bytes", text));
    EXPECT_EQ(text, L"");
    EXPECT_TRUE(SessionRegistryKey(0).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"zero");

    // A key already open is kept: the telemetry key does not exist, the session data key serves.
    SessionRegistryKey key(0);
    ASSERT_TRUE(key.Open(kSessionDataPattern));
    EXPECT_TRUE(key.ReadValue(kVexelTelemetryPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"zero");
}

TEST_F(SessionRegistryKeyTest, ReadValueReportsSizeAndReadFailures) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(kSession3, L"ProfilerData", L"abc");
    std::wstring text = L"unchanged";

    FailCall("RegQueryValueExW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_TRUE(
        m_log.Has(4, L"Failed to get value length for value name ProfilerData, error: 0x5"));

    FailCall("RegQueryValueExW", ERROR_MORE_DATA, /*skip=*/1);
    EXPECT_FALSE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_TRUE(m_log.Has(4, L"Failed to get value for value name ProfilerData, error: 0xea"));
    EXPECT_EQ(text, L"unchanged");

    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"abc");
}

TEST_F(SessionRegistryKeyTest, EnumerationSurvivesOneFailedValueButNotFailedKeyInformation) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(kSession3, L"A", L"1");
    SetMachineString(kSession3, L"B", L"2");
    SetMachineString(kSession3, L"C", L"3");
    SessionRegistryKey key(3);
    ASSERT_TRUE(key.Open(kSessionDataPattern));

    FailCall("RegEnumValueW", ERROR_MORE_DATA, /*skip=*/1);
    StringValueList values;
    EXPECT_TRUE(key.EnumerateStringValues(values));
    EXPECT_EQ(values, (StringValueList{{L"A", L"1"}, {L"C", L"3"}}));
    EXPECT_TRUE(m_log.Has(4, L"Failed to enum registry for session data, error: 0xea"));

    FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED);
    values.clear();
    EXPECT_FALSE(key.EnumerateStringValues(values));
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(m_log.Has(4, L"Failed to query registry for session data, error: 0x5"));
}

}  // namespace
}  // namespace dorn::test
