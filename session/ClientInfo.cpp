#include "ClientInfo.h"

#include <map>
#include <string>

#include "LogMessage.h"
#include "SessionRegistryKey.h"

namespace {

using ClientInfoTable = std::map<std::wstring, std::wstring>;

// Registry value name (as other agent components write it) to reply key; built once.
const ClientInfoTable& GetClientInfoTable() {
    static const ClientInfoTable table = {
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
    return table;
}

}  // namespace

bool GetClientInfo(int32_t sessionId, CORE::PropertyBag& reply) {
    const ClientInfoTable& table = GetClientInfoTable();

    SessionRegistryKey key(sessionId);
    if (!key.Open(kSessionDataPattern)) return false;
    StringValueList values;
    if (!key.EnumerateStringValues(values)) return false;

    CORE::PropertyBag clientInfo;
    for (const auto& [name, text] : values) {
        const auto mapped = table.find(name);
        if (mapped == table.end()) {
            LogMessage(CORE::SysMessageError, L"Failed to find session name %s in registry",
                       name.c_str());
            continue;
        }
        clientInfo.add(mapped->second.c_str(), text);
    }
    reply.addBag(L"client_info", clientInfo, false);
    return true;
}
