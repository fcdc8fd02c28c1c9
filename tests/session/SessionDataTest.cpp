// Session data read from the registry keys other agent components write: client information,
// logon profile, and the reader's failure paths. The display topology's answers, with and
// without its key, are pinned whole by WireContractTest; its reader is the one tested here.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "SessionRegistryKey.h"
#include "Bags.h"
#include "FaultInjection.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "RegistryKeys.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

const std::wstring kSessionData = L"Software\\Zentavo\\Pallido\\SessionData\\";
const std::wstring kSession3 = kSessionData + L"3";

// Value names of HKLM\`keyPath` in the order RegEnumValueW gives them: the order they were
// written in on Windows and on Linux, sorted by name under Wine.
std::vector<std::wstring> EnumerationOrder(const std::wstring& keyPath) {
    UniqueRegKey key;
    if (registry::Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), key) != ERROR_SUCCESS) return {};
    return registry::ValueNames(key.get());
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

// Registry value name to reply key, as the console knows them (typos included).
const std::pair<const wchar_t*, const wchar_t*> kClientInfoKeys[] = {
    {L"KestlClient_Broker_DNS_Name", L"broker_dns_name"},
    {L"KestlClient_Broker_DomainName", L"broker_domain_name"},
    {L"KestlClient_Broker_GatewayLocation", L"gateway_location"},
    {L"KestlClient_Broker_GatewayType", L"broker_gateway_type"},
    {L"KestlClient_Broker_Remote_IP_Address", L"broker_remote_ipaddr"},
    {L"KestlClient_Broker_Tunnel_URL", L"broker_tunnel_url"},
    {L"KestlClient_Broker_Tunneled", L"broker_tuneled"},
    {L"KestlClient_Broker_URL", L"broker_url"},
    {L"KestlClient_Broker_UserName", L"broker_username"},
    {L"KestlClient_Client_Version", L"client_version"},
    {L"KestlClient_Displays.Number", L"display_number"},
    {L"KestlClient_Displays.SystemDpi", L"display_dpi"},
    {L"KestlClient_Displays.Topology", L"display_topo"},
    {L"KestlClient_Displays.TopologyV2", L"display_topov2"},
    {L"KestlClient_IP_Address", L"ipaddr"},
    {L"KestlClient_Keyboard.KeyDelayToRepeat", L"keyboard_key_delay_to_repeat"},
    {L"KestlClient_Keyboard.KeyRepeatRate", L"keyboard_key_repeat_rate"},
    {L"KestlClient_Keyboard.Language", L"keyboard_language"},
    {L"KestlClient_Keyboard.Layout", L"keyboard_layout"},
    {L"KestlClient_Keyboard.NumFuncKeys", L"keyboard_num_func_keys"},
    {L"KestlClient_Keyboard.NumIndicators", L"keyboard_num_indicators"},
    {L"KestlClient_Keyboard.NumKeys", L"keyboard_num_keys"},
    {L"KestlClient_Keyboard.ScanCodeMode", L"keyboard_scan_code_mode"},
    {L"KestlClient_Keyboard.SubType", L"keyboard_subtype"},
    {L"KestlClient_Keyboard.Type", L"keyboard_type"},
    {L"KestlClient_Launch_ID", L"launch_id"},
    {L"KestlClient_Launch_SessionType", L"launch_session_type"},
    {L"KestlClient_LoggedOn_Domainname", L"logged_on_domain_name"},
    {L"KestlClient_LoggedOn_Username", L"logged_on_username"},
    {L"KestlClient_Machine_Name", L"machine_name"},
    {L"KestlClient_Machine_Domain", L"machine_domain"},
    {L"KestlClient_Mouse.Identifier", L"mouse_id"},
    {L"KestlClient_Mouse.NumButtons", L"mouse_num_bottons"},
    {L"KestlClient_Client_ID", L"client_id"},
    {L"KestlClient_Language", L"language"},
    {L"KestlClient_MAC_Address", L"mac_addr"},
    {L"KestlClient_Protocol", L"protocol"},
    {L"KestlClient_Type", L"type"},
    {L"KestlClient_TZID", L"tzid"},
    {L"KestlClient_Windows_Timezone", L"timezone"},
};

// All 40 values present: each under its reply key, as text, in the registry's enumeration
// order (written backwards here, so that order is not the table's).
TEST_F(SessionDataTest, ClientInfoRenamesEveryKnownValueInEnumerationOrder) {
    std::map<std::wstring, std::wstring> replyKeys;
    for (auto entry = std::rbegin(kClientInfoKeys); entry != std::rend(kClientInfoKeys); ++entry) {
        SetMachineString(kSession3, entry->first, std::wstring(L"value of ") + entry->first);
        replyKeys.emplace(entry->first, entry->second);
    }
    ASSERT_EQ(replyKeys.size(), 40u);
    CORE::PropertyBag clientInfo;
    for (const std::wstring& name : EnumerationOrder(kSession3)) {
        clientInfo.add(replyKeys.at(name).c_str(), L"value of " + name);
    }
    CORE::PropertyBag expected;
    expected.addBag(L"client_info", clientInfo, false);

    const Answer answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_EQ(Json(answer.reply), Json(expected));
    EXPECT_EQ(Shape(answer.reply), Shape(expected));
    EXPECT_EQ(
        m_log.Count(0, L"Session property: KestlClient_TZID, value: value of KestlClient_TZID"),
        1u);
}

TEST_F(SessionDataTest, ClientInfoLeavesOutWhatIsNotAKnownTextValue) {
    SetMachineDword(kSession3, L"KestlClient_Client_ID", 42);  // not text: never listed
    SetMachineString(kSession3, L"KestlClient_Unknown", L"x");
    SetMachineString(kSession3, L"kestlclient_ip_address", L"10.9.9.9");  // case differs
    SetMachineString(kSession3, L"KestlClient_Displays.Topology", L"%SystemRoot%", REG_EXPAND_SZ);
    SetMachineString(kSession3, L"KestlClient_Displays.Number", L"");
    const Answer answer = Handle(SessionRequest(L"ClientInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_EQ(Json(answer.reply), R"({"client_info": {"display_number": ""}})");
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name KestlClient_Unknown in registry"));
    EXPECT_TRUE(m_log.Has(4, L"Failed to find session name kestlclient_ip_address in registry"));
    EXPECT_TRUE(m_log.Has(0, L"Session property: KestlClient_Displays.Number, value: "));
    EXPECT_EQ(m_log.Records().size(), 5u);  // a line for each text value, two for the unknown

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

    // Text that has no form in the ANSI code page: the operation's own failure, nothing of the
    // conversion's reason.
    SetMachineString(kSession3, L"ProfilerData", L"ok" + std::wstring(1, wchar_t(0xD800)));
    m_log.Clear();
    answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.reply.getErrorText(), L"failed to get logon time metrics");
    EXPECT_EQ(KeysOf(answer.reply), std::vector<std::wstring>{});
    EXPECT_EQ(m_log.Messages(),
              std::vector<std::wstring>{L"GetLogonTimeInfo: failed to get log on time info"});

    // ASCII and empty profiles: WireContractTest. Other text goes through the ANSI code page.
    if (!AnsiBase64OfEte().empty()) {
        SetMachineString(kSession3, L"ProfilerData", L"\u00e9t\u00e9");
        answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
        ASSERT_TRUE(answer.result);
        EXPECT_EQ(answer.reply.get(L"logon_time"), AnsiBase64OfEte());
    }

    // A value of another type is its bytes read as UTF-16 text.
    SetMachineBinary(kSession3, L"ProfilerData", {0x41, 0, 0x42, 0, 0x43, 0});
    answer = Handle(SessionRequest(L"LogonTimeInfo", 3));
    ASSERT_TRUE(answer.result);
    EXPECT_EQ(Shape(answer.reply), ShapeOf(R"({"logon_time": "text"})"));
    EXPECT_EQ(answer.reply.get(L"logon_time"), L"QUJD");
}

// The reader itself.
class SessionRegistryKeyTest : public SessionDataTest {};

// A string type gives its text, any other type its bytes read as UTF-16; either up to the
// first NUL character. The same text on both builds, whatever the width of wchar_t.
TEST_F(SessionRegistryKeyTest, ReadValueTakesAnyTypeAsTextUpToTheFirstNul) {
    const wchar_t loneHigh[] = {wchar_t(0xD83D), L'A', L'\0'};
    const struct {
        const char* what;
        DWORD type;
        std::wstring text;           // string types: written as wide text
        std::vector<uint8_t> bytes;  // other types: written as these bytes
        std::wstring expected;
    } cases[] = {
        {"string", REG_SZ, L"abc", {}, L"abc"},
        {"empty string", REG_SZ, L"", {}, L""},
        {"string with a NUL", REG_SZ, std::wstring(L"ab\0cd", 5), {}, L"ab"},
        {"expand string", REG_EXPAND_SZ, L"%SystemRoot%\\x", {}, L"%SystemRoot%\\x"},
        {"multi string", REG_MULTI_SZ, std::wstring(L"first\0second\0", 13), {}, L"first"},
        {"string beyond 16 bits", REG_SZ, L"\U0001F600\u00e9", {}, L"\U0001F600\u00e9"},
        {"binary", REG_BINARY, L"", {0x41, 0, 0x42, 0, 0x43, 0}, L"ABC"},
        {"no bytes", REG_BINARY, L"", {}, L""},
        {"odd byte count", REG_BINARY, L"", {0x41, 0, 0x42}, L"A"},
        {"one byte", REG_BINARY, L"", {0x41}, L""},
        {"binary with a NUL", REG_BINARY, L"", {0x41, 0, 0, 0, 0x42, 0}, L"A"},
        {"surrogate pair", REG_BINARY, L"", {0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0}, L"\U0001F600\u00e9"},
        {"lone surrogate", REG_BINARY, L"", {0x3D, 0xD8, 0x41, 0}, loneHigh},
        {"dword", REG_DWORD, L"", {0x41, 0, 0x42, 0}, L"AB"},
        {"qword", REG_QWORD, L"", {0x41, 0, 0x42, 0, 0, 0, 0, 0}, L"AB"},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        if (example.type == REG_SZ || example.type == REG_EXPAND_SZ ||
            example.type == REG_MULTI_SZ) {
            SetMachineString(kSession3, L"Value", example.text, example.type);
        } else {
            SetMachineBinary(kSession3, L"Value", example.bytes, example.type);
        }
        std::wstring text = L"unchanged";
        EXPECT_TRUE(SessionRegistryKey(3).ReadValue(kSessionDataPattern, L"Value", text));
        EXPECT_EQ(text, example.expected);
    }
}

TEST_F(SessionRegistryKeyTest, SessionZeroIsItsOwnSubkeyAndAnOpenKeyIsKept) {
    // Session 0 is the subkey named "0", not the parent key.
    SetMachineString(kSessionData + L"0", L"ProfilerData", L"zero");
    SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData", L"ProfilerData", L"parent");
    std::wstring text;
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
