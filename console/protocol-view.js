// The chosen session's display protocol: its statistics with labels and units, live charts of
// the figures an operator judges it by, and its health. Fed by "ProtocolInfo" while the session
// tab is open, one request at a time: the plug-in takes about a second to answer each.
import { callOpcode, failureText } from './api.js';
import { LineChart } from './chart.js';
import { judgeSession, stateLabel, STATES, THRESHOLDS } from './health.js';
import { Poller } from './poller.js';
import { figureWireNames, formatBitRate, groupedStatistics, protocolFigures, protocolName } from './protocol-labels.js';
import { byId, cell, showText } from './ui.js';

const WINDOW_MS = 300_000; // the charts show the last five minutes
const POLL_MS = 2000;

function limitMarks(figure) {
  return ['warning', 'bad'].map((state) => ({ value: THRESHOLDS[figure][state], state }));
}

// Bandwidth axis labels in k and M (kbit/s), so that large rates fit beside the plot.
function bandwidthAxis(kbit) {
  return kbit >= 1000 ? `${Number((kbit / 1000).toFixed(2))}M` : `${Number(kbit.toFixed(1))}k`;
}

const CHARTS = [
  { id: 'chart-rtt', series: [{ key: 'roundTrip', label: 'Round trip' }], unit: 'ms', minMax: 50, marks: limitMarks('roundTrip') },
  {
    id: 'chart-bandwidth',
    series: [{ key: 'down', label: 'Down' }, { key: 'up', label: 'Up' }],
    minMax: 100,
    format: formatBitRate,
    axisFormat: bandwidthAxis,
    axisWidth: 44,
  },
  { id: 'chart-fps', series: [{ key: 'frameRate', label: 'Frames' }], unit: 'fps', minMax: 30, marks: limitMarks('frameRate') },
  { id: 'chart-loss', series: [{ key: 'packetLoss', label: 'Loss' }], unit: '%', minMax: 5, marks: limitMarks('packetLoss') },
];

// What one "ProtocolInfo" reply says: the protocol ("vexel", "pcoip", or null when no counter
// gave a value), its values, the figures read from them and the session's health.
export function readProtocolReply(reply) {
  const protocols = reply.protocol ?? {};
  const [protocol = null] = Object.keys(protocols);
  const values = protocol === null ? {} : protocols[protocol];
  const figures = protocolFigures(protocol, values);
  return { protocol, values, figures, health: judgeSession(figures) };
}

export class ProtocolView {
  // onHealth(sessionId, state) hears each judgement of a session, for the session picker.
  constructor(onHealth) {
    this.onHealth = onHealth;
    this.sessionId = null;
    this.generation = 0; // answers for a session no longer chosen are dropped
    this.shown = false;
    this.charts = CHARTS.map(({ id, ...options }) => new LineChart(byId(id), {
      ...options, windowMs: WINDOW_MS, growing: true, width: 300, height: 150,
    }));
    this.poller = new Poller(() => this.poll(), POLL_MS);
  }

  // The session whose figures this view polls while it is shown, or null.
  get liveSession() {
    return this.shown ? this.sessionId : null;
  }

  setSession(sessionId) {
    this.sessionId = sessionId;
    this.generation += 1;
    for (const chart of this.charts) {
      chart.clear();
      chart.render();
    }
    byId('protocol-stats').replaceChildren();
    showText(byId('protocol-error'), '');
    showText(byId('protocol-name'), '');
    this.showHealth({ state: 'unknown', findings: [] }, sessionId === null ? 'No session chosen.' : 'Asking the plug-in…');
  }

  show() {
    this.shown = true;
    this.poller.start();
  }

  hide() {
    this.shown = false;
    this.poller.stop();
  }

  refresh() { this.poller.refresh(); }

  async poll() {
    if (this.sessionId === null) return;
    const { sessionId, generation } = this;
    let answer;
    try {
      answer = await callOpcode('ProtocolInfo', { SESSIONID: sessionId });
    } catch (failure) {
      if (generation === this.generation) this.fail(failure.message);
      return;
    }
    if (generation !== this.generation) return;
    if (!answer.result) {
      this.fail(failureText(answer, 'The protocol statistics request failed'));
      return;
    }
    showText(byId('protocol-error'), '');
    this.take(readProtocolReply(answer.reply));
  }

  fail(text) {
    showText(byId('protocol-error'), text);
    this.showHealth({ state: 'unknown', findings: [] }, 'No figures: the protocol statistics request failed.');
    this.onHealth(this.sessionId, 'unknown');
  }

  take(reading) {
    const { protocol, values, figures, health } = reading;
    showText(byId('protocol-name'), protocol === null ? 'No protocol counter gave a value.' : protocolName(protocol));
    this.showStatistics(protocol, values, health);
    this.addPoints(figures);
    this.showHealth(health, protocol === null ? 'No figures: no protocol counter gave a value.' : '');
    this.onHealth(this.sessionId, health.state);
  }

  addPoints(figures) {
    const t = Date.now();
    for (const chart of this.charts) {
      for (const { key } of chart.options.series) {
        if (typeof figures[key] === 'number') chart.append(key, [{ t, v: figures[key] }]);
      }
      chart.render();
    }
  }

  // One table per group; the row of a judged figure shows its state beside the value.
  showStatistics(protocol, values, health) {
    const states = new Map();
    for (const finding of health.findings) {
      for (const name of figureWireNames(protocol, finding.figure)) states.set(name, finding.state);
    }
    const groups = groupedStatistics(protocol, values).map((group) => this.groupTable(group, states));
    byId('protocol-stats').replaceChildren(...groups.flat());
  }

  groupTable(group, states) {
    const heading = cell('h3', group.label);
    heading.id = `protocol-group-${group.key}`;
    const table = document.createElement('table');
    table.className = 'pairs statistics';
    table.dataset.group = group.key;
    table.setAttribute('aria-labelledby', heading.id);
    const body = table.createTBody();
    for (const row of group.rows) body.append(this.statisticRow(row, states.get(row.wireName)));
    return [heading, table];
  }

  statisticRow({ wireName, label, unit, text }, state) {
    const row = document.createElement('tr');
    row.dataset.key = wireName;
    row.title = wireName;
    const header = cell('th', label);
    header.scope = 'row';
    const value = cell('td', text, 'value');
    if (unit) value.dataset.unit = unit;
    const judged = cell('td', state ? stateLabel(state) : '', 'state');
    if (state) row.dataset.state = state;
    row.append(header, value, judged);
    return row;
  }

  showHealth(health, note) {
    const section = byId('session-health');
    section.dataset.state = health.state;
    // Written only when it changes: the line is a live region, read out on each change.
    const line = byId('health-state');
    if (line.textContent !== stateLabel(health.state)) line.textContent = stateLabel(health.state);
    const items = health.findings.map((finding) => {
      const item = cell('li', `${STATES[finding.state].sign} ${finding.text}`);
      item.dataset.figure = finding.figure;
      item.dataset.state = finding.state;
      return item;
    });
    byId('health-findings').replaceChildren(...items);
    showText(byId('health-note'), note);
  }
}
