// What the console shows for each statistic of "ProtocolInfo", by protocol and wire name: a
// label, a unit and a group. The wire name stays on the row (its title and data-key) for the
// engineers who script against it; a name not listed here is shown as it is, under "Other".
import { formatBytes } from './ui.js';

export const GROUPS = [
  { key: 'network', label: 'Network' },
  { key: 'display', label: 'Display' },
  { key: 'audio', label: 'Audio' },
  { key: 'devices', label: 'Devices' },
  { key: 'other', label: 'Other' },
];

// Bandwidth counters count kbit/s; below 1000 they stay in kbit/s.
export function formatBitRate(kbitPerSecond) {
  if (kbitPerSecond < 1000) return `${Math.round(kbitPerSecond)} kbit/s`;
  const mbit = kbitPerSecond / 1000;
  return `${mbit.toFixed(mbit < 100 ? 1 : 0)} Mbit/s`;
}

export function formatDuration(seconds) {
  const hours = Math.floor(seconds / 3600);
  const minutes = Math.floor((seconds % 3600) / 60);
  const rest = seconds % 60;
  return hours > 0 ? `${hours} h ${minutes} min ${rest} s` : `${minutes} min ${rest} s`;
}

// The encoder is a name once the plug-in resolved it; -1 means the counter was not set yet.
function formatEncoder(value) {
  if (typeof value === 'string') return value;
  return value === -1 ? 'not set yet' : `type ${value}`;
}

// One formatter per unit; a value that is not a number (but the encoder's) is shown as it is.
const UNITS = {
  ms: (v) => `${v} ms`,
  'kbit/s': formatBitRate,
  // "Instantaneous ... Bytes" count bytes per second; shown as a bit rate beside the bandwidths.
  'bytes/s': (v) => formatBitRate((v * 8) / 1000),
  bytes: formatBytes,
  fps: (v) => `${v} fps`,
  '%': (v) => `${v} %`,
  s: formatDuration,
  'MP/s': (v) => `${v} MP/s`,
  count: (v) => v.toLocaleString(),
  encoder: formatEncoder,
};

function stat(label, unit, group) {
  return { label, unit, group };
}

// Each protocol's statistics, in the order they are shown within their group.
export const PROTOCOLS = {
  vexel: {
    name: 'Vexel',
    statistics: {
      session_rtt: stat('Round trip', 'ms', 'network'),
      session_packet_loss_uplink: stat('Packet loss (uplink)', '%', 'network'),
      session_bandwidth_uplink: stat('Estimated bandwidth (uplink)', 'kbit/s', 'network'),
      session_inst_transmit_bytes_udp: stat('Sending now over UDP', 'bytes/s', 'network'),
      session_inst_recv_bytes_udp: stat('Receiving now over UDP', 'bytes/s', 'network'),
      session_inst_transmit_bytes_tcp: stat('Sending now over TCP', 'bytes/s', 'network'),
      session_inst_recv_bytes_tcp: stat('Receiving now over TCP', 'bytes/s', 'network'),
      session_transmit_bytes: stat('Sent in all', 'bytes', 'network'),
      image_frames_per_second: stat('Frame rate', 'fps', 'display'),
      image_encode_type: stat('Encoder', 'encoder', 'display'),
      image_transmit_bytes: stat('Imaging sent', 'bytes', 'display'),
      image_recv_bytes: stat('Imaging received', 'bytes', 'display'),
      audio_transmit_bytes: stat('Audio sent', 'bytes', 'audio'),
      audio_recv_bytes: stat('Audio received', 'bytes', 'audio'),
      cdr_transmit_bytes: stat('Client drives sent', 'bytes', 'devices'),
      cdr_recv_bytes: stat('Client drives received', 'bytes', 'devices'),
    },
  },
  pcoip: {
    name: 'PCoIP',
    statistics: {
      net_rtl: stat('Round trip', 'ms', 'network'),
      net_rx_packets_loss: stat('Packet loss, received', '%', 'network'),
      net_tx_packets_loss: stat('Packet loss, sent', '%', 'network'),
      net_txbw_rate: stat('Bandwidth sent', 'kbit/s', 'network'),
      net_rxbw_rate: stat('Bandwidth received', 'kbit/s', 'network'),
      net_rxbw_peek_rate: stat('Peak bandwidth received', 'kbit/s', 'network'),
      net_txbw_active_limit_rate: stat('Active limit of bandwidth sent', 'kbit/s', 'network'),
      net_txbw_limit_rate: stat('Limit of bandwidth sent', 'kbit/s', 'network'),
      general_duration: stat('Session duration', 's', 'network'),
      general_sent_bytes: stat('Sent in all', 'bytes', 'network'),
      general_recv_bytes: stat('Received in all', 'bytes', 'network'),
      general_sent_packets: stat('Packets sent', 'count', 'network'),
      general_recv_packets: stat('Packets received', 'count', 'network'),
      general_tx_packets_lost: stat('Packets lost, sent', 'count', 'network'),
      general_rx_packets_lost: stat('Packets lost, received', 'count', 'network'),
      img_encoded_frames: stat('Encoded frame rate', 'fps', 'display'),
      img_txbw_rate: stat('Imaging bandwidth sent', 'kbit/s', 'display'),
      img_rxbw_rate: stat('Imaging bandwidth received', 'kbit/s', 'display'),
      img_sent_bytes: stat('Imaging sent', 'bytes', 'display'),
      img_recv_bytes: stat('Imaging received', 'bytes', 'display'),
      img_megapixel: stat('Pixel rate', 'MP/s', 'display'),
      img_min_quality: stat('Active minimum quality', 'count', 'display'),
      img_decoder_capability: stat('Decoder capability', 'kbit/s', 'display'),
      img_svgadevtap: stat('Virtual display frame rate', 'fps', 'display'),
      img_nack: stat('Negative acknowledgements', 'count', 'display'),
      img_apex2800: stat('Hardware offload', 'count', 'display'),
      audio_txbw_rate: stat('Audio bandwidth sent', 'kbit/s', 'audio'),
      audio_rxbw_rate: stat('Audio bandwidth received', 'kbit/s', 'audio'),
      audio_txbw_limit_rate: stat('Limit of audio bandwidth sent', 'kbit/s', 'audio'),
      audio_sent_bytes: stat('Audio sent', 'bytes', 'audio'),
      audio_recv_bytes: stat('Audio received', 'bytes', 'audio'),
      usb_txbw_rate: stat('USB bandwidth sent', 'kbit/s', 'devices'),
      usb_rxbw_rate: stat('USB bandwidth received', 'kbit/s', 'devices'),
      usb_sent_bytes: stat('USB sent', 'bytes', 'devices'),
      usb_recv_bytes: stat('USB received', 'bytes', 'devices'),
    },
  },
};

export function protocolName(protocol) {
  return PROTOCOLS[protocol]?.name ?? protocol;
}

// The label, unit, group and shown text of one value of the reply.
export function describeStatistic(protocol, wireName, value) {
  const known = PROTOCOLS[protocol]?.statistics[wireName];
  const { label, unit, group } = known ?? stat(wireName, '', 'other');
  const format = UNITS[unit];
  const numeric = typeof value === 'number' && Number.isFinite(value);
  const text = format && (numeric || unit === 'encoder') ? format(value) : String(value);
  return { wireName, label, unit, group, text };
}

// The rank of a wire name in its protocol's table, which lists the figures an operator looks
// at first; names the table lacks come last.
function tableRank(protocol, wireName) {
  const rank = Object.keys(PROTOCOLS[protocol]?.statistics ?? {}).indexOf(wireName);
  return rank === -1 ? Infinity : rank;
}

// The reply's values as groups of described rows, in the order of GROUPS and of the table.
export function groupedStatistics(protocol, values) {
  const rows = Object.entries(values)
    .map(([name, value]) => describeStatistic(protocol, name, value))
    .sort((a, b) => tableRank(protocol, a.wireName) - tableRank(protocol, b.wireName));
  return GROUPS
    .map((group) => ({ ...group, rows: rows.filter((row) => row.group === group.key) }))
    .filter((group) => group.rows.length > 0);
}

// The wire names each figure of a session's health is read from; with two names (a loss each
// way) the worse one counts. Bandwidth is the session's, "down" to the client, "up" from it.
const FIGURE_SOURCES = {
  vexel: {
    roundTrip: ['session_rtt'],
    packetLoss: ['session_packet_loss_uplink'],
    frameRate: ['image_frames_per_second'],
    downBytesPerSecond: ['session_inst_transmit_bytes_tcp', 'session_inst_transmit_bytes_udp'],
    upBytesPerSecond: ['session_inst_recv_bytes_tcp', 'session_inst_recv_bytes_udp'],
  },
  pcoip: {
    roundTrip: ['net_rtl'],
    packetLoss: ['net_rx_packets_loss', 'net_tx_packets_loss'],
    frameRate: ['img_encoded_frames'],
    down: ['net_txbw_rate'],
    up: ['net_rxbw_rate'],
    sending: ['img_txbw_rate'],
  },
};

function numbersOf(values, names) {
  return (names ?? []).map((name) => values[name]).filter((v) => typeof v === 'number');
}

function worst(values, names) {
  const found = numbersOf(values, names);
  return found.length > 0 ? Math.max(...found) : undefined;
}

function total(values, names) {
  const found = numbersOf(values, names);
  return found.length > 0 ? found.reduce((a, b) => a + b, 0) : undefined;
}

const toKbit = (bytesPerSecond) => (bytesPerSecond === undefined ? undefined : (bytesPerSecond * 8) / 1000);

// The figures of one reply: round trip (ms), packet loss (%), frame rate (fps), bandwidth down
// and up (kbit/s) and whether the session is sending images; undefined where the reply lacks
// them. A Vexel session sends while its instantaneous transmitted bytes are above zero, a
// PCoIP session while its imaging bandwidth sent is.
export function protocolFigures(protocol, values) {
  const sources = FIGURE_SOURCES[protocol];
  if (!sources) return {};
  const down = sources.down ? total(values, sources.down) : toKbit(total(values, sources.downBytesPerSecond));
  const up = sources.up ? total(values, sources.up) : toKbit(total(values, sources.upBytesPerSecond));
  const sendingRate = sources.sending ? total(values, sources.sending) : down;
  return {
    roundTrip: worst(values, sources.roundTrip),
    packetLoss: worst(values, sources.packetLoss),
    frameRate: worst(values, sources.frameRate),
    down,
    up,
    sending: sendingRate === undefined ? undefined : sendingRate > 0,
  };
}

// The wire names behind a figure, so that a judged figure's rows can show its state.
export function figureWireNames(protocol, figure) {
  return FIGURE_SOURCES[protocol]?.[figure] ?? [];
}
