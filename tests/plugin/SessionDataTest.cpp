// Session data read from the registry keys other agent components write: client information,
// logon profile and display topology, and the reader's failure paths.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "session/SessionRegistryKey.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {
namespace {

const std::wstring kSession3 = L"Software\\Zentavo\\Pallido\\SessionData\\3";
const std::wstring kTelemetry3 = L"Software\\Zentavo\\Pallido\\Vexel\\Telemetry\\3";

std::vector<std::pair<std::wstring, std::wstring>> Entries(const CORE::PropertyBag& bag) {
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    for (size_t i = 0; i < bag.size(); ++i) entries.emplace_back(bag.keyAt(i), bag.textAt(i));
    return entries;
}

// Value names of HKLM\`keyPath` in the order RegEnumValueW gives them: the order they were
// written in on Windows and on Linux, sorted by name under Wine.
std::vector<std::wstring> EnumerationOrder(const std::wstring& keyPath) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    DWORD length = 256;
    for (DWORD index = 0; RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr,
                                        nullptr) == ERROR_SUCCESS;
         ++index, length = 256) {
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

// "été" in the ANSI code page, in Base64: UTF-8 on Linux, Windows-1252 on a Western
// Windows; empty in any other code page.
std::wstring AnsiBase64OfEte() {
    char bytes[8] = {};
    const int size = WideCharToMultiByte(CP_ACP, 0, L"\u00e9t\u00e9", 3, bytes, sizeof bytes,
                                         nullptr, nullptr);
    if (size == 5) return L"w6l0w6k=";  // UTF-8
    if (size == 3 && bytes[0] == '\xE9') return L"6XTp";  // Windows-1252
    return L"";
}

class SessionDataTest : public ::testing::Test {
protected:
    RegistrySandbox m_registry;
    LogCapture m_log;
};

TEST_F(SessionDataTest, ClientInfoMapsKnownValuesInEnumerationOrder) {
    SetMachineString(kSession3, L"KestlClient_Machine_Name", L"DESK-07");
    SetMachineString(kSession3, L"KestlClient_Language", L"nb-NO");
    SetMachineDword(kSession3, L"KestlClient_Client_ID", 42);  // not text: never listed
    SetMachineString(kSession3, L"KestlClient_Unknown", L"x");
    SetMachineString(kSession3, L"kestlclient_ip_address", L"10.9.9.9");  // case differs from the table
    SetMachineString(kSession3, L"KestlClient_Displays.Number", L"");
    SetMachineString(kSession3, L"KestlClient_TZID", L"Europe/Oslo");
    SetMachineString(kSession3, L"KestlClient_Displays.Topology", L"%SystemRoot%", REG_EXPAND_SZ);

    const Answer answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    ASSERT_EQ(answer.reply.size(), 1u);
    const std::map<std::wstring, std::pair<std::wstring, std::wstring>> known = {
        {L"KestlClient_Machine_Name", {L"machine_name", L"DESK-07"}},
        {L"KestlClient_Language", {L"language", L"nb-NO"}},
        {L"KestlClient_Displays.Number", {L"display_number", L""}},
        {L"KestlClient_TZID", {L"tzid", L"Europe/Oslo"}}};
    std::vector<std::pair<std::wstring, std::wstring>> expected;
    for (const std::wstring& name : EnumerationOrder(kSession3)) {
        if (known.count(name) != 0) expected.push_back(known.at(name));
    }
    ASSERT_EQ(expected.size(), known.size());
    EXPECT_EQ(Entries(answer.reply.getBag(L"client_info")), expected);
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name KestlClient_Unknown in registry"));
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name kestlclient_ip_address in registry"));
    EXPECT_TRUE(m_log.Has(0, L"Session property: KestlClient_TZID, value: Europe/Oslo"));
    EXPECT_FALSE(m_log.Has(0, L"Session property: KestlClient_Displays.Topology, value: %SystemRoot%"));
}

TEST_F(SessionDataTest, ClientInfoWithOnlyUnknownOrNoValuesAnswersAnEmptyBag) {
    CreateMachineKey(kSession3);
    Answer answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_TRUE(answer.reply.contains(L"client_info"));
    EXPECT_TRUE(answer.reply.getBag(L"client_info").empty());

    SetMachineString(kSession3, L"Other", L"1");
    SetMachineString(kSession3, L"Another", L"2");
    answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_TRUE(answer.reply.getBag(L"client_info").empty());
    EXPECT_EQ(m_log.Count(4, L"Failed to find session name Other in registry"), 1u);
    EXPECT_EQ(m_log.Count(4, L"Failed to find session name Another in registry"), 1u);
}

TEST_F(SessionDataTest, LogonTimeIsTheProfileInBase64) {
    SetMachineString(kSession3, L"ProfilerData", L"abc");
    Answer answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_EQ(answer.reply.get(L"logon_time"), L"YWJj");

    SetMachineString(kSession3, L"ProfilerData", L"");
    answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_TRUE(answer.reply.contains(L"logon_time"));
    EXPECT_EQ(answer.reply.get(L"logon_time", L"absent"), L"");

    // Non-ASCII text travels as its bytes in the ANSI code page.
    SetMachineString(kSession3, L"ProfilerData", L"\u00e9t\u00e9");
    answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    const std::wstring ete = AnsiBase64OfEte();
    if (ete.empty()) GTEST_SKIP() << "an ANSI code page other than UTF-8 and Windows-1252";
    EXPECT_EQ(answer.reply.get(L"logon_time"), ete);
}

TEST_F(SessionDataTest, LogonTimeThatCannotBeConvertedFailsWithoutAReplyEntry) {
    const std::wstring unpaired(1, static_cast<wchar_t>(0xD800));
    SetMachineString(kSession3, L"ProfilerData", L"ok" + unpaired);
    const Answer answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_TRUE(answer.reply.isError());
    EXPECT_FALSE(answer.reply.contains(L"logon_time"));
}

TEST_F(SessionDataTest, LogonTimeValueMissingLogsBothLines) {
    CreateMachineKey(kSession3);
    const Answer answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.reply.getErrorText(), L"failed to get logon time metrics");
    EXPECT_EQ(m_log.Messages(),
              (std::vector<std::wstring>{
                  L"Failed to get value length for value name ProfilerData, error: 0x2",
                  L"Failed to get logon time info from registry",
                  L"GetLogonTimeInfo: failed to get log on time info"}));
}

TEST_F(SessionDataTest, TelemetryIsOneBagWithOneEntryAndNeedsItsOwnKey) {
    SetMachineString(kSession3, L"ProfilerData", L"abc");
    Answer answer = Handle(SessionRequest(L"VexelTelemetry", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.reply.getErrorText(), L"failed to get vexel telemetry");
    EXPECT_TRUE(Handle(SessionRequest(L"LogonTimeInfo", 3)).result);

    SetMachineString(kTelemetry3, L"KestlClient_Current_Topology", L"2x1920x1080@96");
    answer = Handle(SessionRequest(L"VexelTelemetry", 3));
    ASSERT_TRUE(answer.result);
    ASSERT_EQ(answer.reply.size(), 1u);
    EXPECT_EQ(answer.reply.keyAt(0), L"current_topology");
    const CORE::PropertyBag topology = answer.reply.getBag(L"current_topology");
    ASSERT_EQ(topology.size(), 1u);
    EXPECT_EQ(topology.keyAt(0), L"topology");
    EXPECT_EQ(topology.textAt(0), L"2x1920x1080@96");
}

// The reader itself, with registry calls made to fail.
class SessionRegistryKeyTest : public SessionDataTest {};

TEST_F(SessionRegistryKeyTest, ReadValueReportsSizeAndReadFailures) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(kSession3, L"ProfilerData", L"abc");
    std::wstring text = L"unchanged";

    FailCall("RegQueryValueExW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_TRUE(m_log.Has(4, L"Failed to get value length for value name ProfilerData, error: 0x5"));

    FailCall("RegQueryValueExW", ERROR_MORE_DATA, /*skip=*/1);
    EXPECT_FALSE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_TRUE(m_log.Has(4, L"Failed to get value for value name ProfilerData, error: 0xea"));
    EXPECT_EQ(text, L"unchanged");

    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"abc");
}

TEST_F(SessionRegistryKeyTest, ReadValueTakesAnyTypeAsTextUpToTheFirstNul) {
    const std::wstring withNul(L"first\0second", 12);
    SetMachineString(kSession3, L"Multi", withNul + L'\0', REG_MULTI_SZ);
    std::wstring text;
    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"Multi", text));
    EXPECT_EQ(text, L"first");

    SetMachineBinary(kSession3, L"Bytes", {});
    EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"Bytes", text));
    EXPECT_EQ(text, L"");
}

TEST_F(SessionRegistryKeyTest, EnumerationSurvivesOneFailedValue) {
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
}

TEST_F(SessionRegistryKeyTest, EnumerationFailsWhenKeyInformationCannotBeRead) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    SetMachineString(kSession3, L"A", L"1");
    SessionRegistryKey key(3);
    ASSERT_TRUE(key.Open(kSessionDataPattern));
    FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED);
    StringValueList values;
    EXPECT_FALSE(key.EnumerateStringValues(values));
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(m_log.Has(4, L"Failed to query registry for session data, error: 0x5"));
}

TEST_F(SessionRegistryKeyTest, SecondOpenKeepsTheKeyAlreadyOpen) {
    SetMachineString(kSession3, L"ProfilerData", L"from session data");
    SessionRegistryKey key(3);
    ASSERT_TRUE(key.Open(kSessionDataPattern));
    std::wstring text;
    // The telemetry key does not exist; the open session-data key is used instead.
    EXPECT_TRUE(key.ReadValue(kVexelTelemetryPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"from session data");
}

TEST_F(SessionRegistryKeyTest, SessionZeroOpensTheSubkeyNamedZero) {
    SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData\\0", L"ProfilerData", L"zero");
    SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData", L"ProfilerData", L"parent");
    std::wstring text;
    EXPECT_TRUE(SessionRegistryKey(0).ReadValue(kSessionDataPattern, L"ProfilerData", text));
    EXPECT_EQ(text, L"zero");
}

}  // namespace
}  // namespace dorn::test
