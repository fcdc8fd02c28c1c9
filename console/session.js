// The chosen session's details: client information, logon profile, display topology, and the
// display protocol's statistics, charts and health (protocol-view.js).
import { callOpcode, failureText } from './api.js';
import { ProtocolView } from './protocol-view.js';
import { byId, fillPairs, showText } from './ui.js';

// Readable names of the client-information keys; a key not listed here is shown as it is.
const CLIENT_LABELS = {
  ipaddr: 'Client address', machine_name: 'Client name', machine_domain: 'Client domain',
  type: 'Client type', client_version: 'Client version', client_id: 'Client ID',
  mac_addr: 'MAC address', protocol: 'Protocol', language: 'Language', tzid: 'Time zone ID',
  timezone: 'Time zone', logged_on_username: 'Logged-on user', logged_on_domain_name: 'Logged-on domain',
  launch_id: 'Launch ID', launch_session_type: 'Launch session type',
  broker_dns_name: 'Broker', broker_domain_name: 'Broker domain', broker_url: 'Broker URL',
  broker_username: 'Broker user', broker_remote_ipaddr: 'Broker remote address',
  broker_tunnel_url: 'Tunnel URL', broker_tuneled: 'Tunnelled', broker_gateway_type: 'Gateway type',
  gateway_location: 'Gateway location',
  display_number: 'Displays', display_dpi: 'Display DPI', display_topo: 'Display topology',
  display_topov2: 'Display topology (v2)',
  keyboard_type: 'Keyboard type', keyboard_subtype: 'Keyboard subtype', keyboard_layout: 'Keyboard layout',
  keyboard_language: 'Keyboard language', keyboard_num_keys: 'Keys', keyboard_num_func_keys: 'Function keys',
  keyboard_num_indicators: 'Indicators', keyboard_key_delay_to_repeat: 'Key repeat delay',
  keyboard_key_repeat_rate: 'Key repeat rate', keyboard_scan_code_mode: 'Scan code mode',
  mouse_id: 'Mouse ID', mouse_num_bottons: 'Mouse buttons',
};

// "logon_time" is Base64 of the profiler's text, in the machine's code page; UTF-8 covers
// the ASCII that the profiler writes and shows anything else as replacement characters.
export function decodeBase64Text(encoded) {
  const binary = atob(encoded);
  const bytes = Uint8Array.from(binary, (c) => c.charCodeAt(0));
  return new TextDecoder('utf-8').decode(bytes);
}

// "logon=4211ms;gpo=1210ms" reads as phases; any other text is shown only as it is.
function profilePhases(text) {
  const parts = text.split(';').filter((part) => part !== '');
  const pairs = parts.map((part) => part.split('='));
  return pairs.length > 0 && pairs.every((pair) => pair.length === 2) ? pairs : [];
}

export class SessionView {
  // onHealth(sessionId, state): see ProtocolView.
  constructor(onHealth) {
    this.sessionId = null;
    this.generation = 0; // answers for a session no longer chosen are dropped
    this.protocol = new ProtocolView(onHealth);
    byId('refresh-session').addEventListener('click', () => this.reload());
  }

  setSession(sessionId, label) {
    this.sessionId = sessionId;
    this.generation += 1;
    byId('session-title').textContent = sessionId === null ? 'No session chosen' : `Session ${label}`;
    for (const id of ['client-info', 'logon-profile']) byId(id).tBodies[0].replaceChildren();
    for (const id of ['client-error', 'logon-error', 'topology-error', 'logon-text', 'topology']) {
      showText(byId(id), '');
    }
    this.protocol.setSession(sessionId);
    this.reload();
  }

  get liveSession() { return this.protocol.liveSession; }

  show() { this.protocol.show(); }

  hide() { this.protocol.hide(); }

  reload() {
    if (this.sessionId === null) return;
    this.loadClientInfo();
    this.loadLogonProfile();
    this.loadTopology();
    this.protocol.refresh();
  }

  // Asks for one opcode of the chosen session; null when the answer is stale or the host
  // refused (the error is shown in `errorId`).
  async ask(opcode, errorId, fallback) {
    const generation = this.generation;
    const error = byId(errorId);
    let answer;
    try {
      answer = await callOpcode(opcode, { SESSIONID: this.sessionId });
    } catch (failure) {
      if (generation === this.generation) showText(error, failure.message);
      return null;
    }
    if (generation !== this.generation) return null;
    if (!answer.result) {
      showText(error, failureText(answer, fallback));
      return null;
    }
    showText(error, '');
    return answer.reply;
  }

  async loadClientInfo() {
    const reply = await this.ask('ClientInfo', 'client-error', 'The client information request failed');
    if (!reply) return;
    const entries = Object.entries(reply.client_info ?? {});
    fillPairs(byId('client-info').tBodies[0], entries.map(([key, value]) => [CLIENT_LABELS[key] ?? key, value, key]));
    if (entries.length === 0) showText(byId('client-error'), 'The session key holds no client information.');
  }

  async loadLogonProfile() {
    const reply = await this.ask('LogonTimeInfo', 'logon-error', 'The logon profile request failed');
    if (!reply) return;
    let text;
    try {
      text = decodeBase64Text(String(reply.logon_time ?? ''));
    } catch {
      showText(byId('logon-error'), 'The logon profile is not valid Base64.');
      return;
    }
    const phases = profilePhases(text);
    fillPairs(byId('logon-profile').tBodies[0], phases.map(([name, value]) => [name, value]));
    showText(byId('logon-text'), text === '' ? 'The profile is empty.' : text);
  }

  async loadTopology() {
    const reply = await this.ask('VexelTelemetry', 'topology-error', 'The display topology request failed');
    if (!reply) return;
    showText(byId('topology'), String(reply.current_topology?.topology ?? ''));
  }
}
