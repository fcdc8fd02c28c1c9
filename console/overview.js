// The overview: live processor, memory and disk charts fed by "Performance", and the history
// of "HistoricalMetrics" for the chosen session.
import { callOpcode, failureText, listOf } from './api.js';
import { LineChart } from './chart.js';
import { Poller } from './poller.js';
import { byId, showText } from './ui.js';

const LIVE_WINDOW_MS = 120_000; // the collector keeps about two minutes of samples
const SAMPLE_SPACING_MS = 1000; // the collector samples once a second
const MACHINE_SERIES = [
  { key: 'cpu', chart: 'chart-cpu', label: 'CPU', unit: '%', minMax: 100 },
  { key: 'mem', chart: 'chart-mem', label: 'Memory', unit: '%', minMax: 100 },
  { key: 'disk', chart: 'chart-disk', label: 'Disk', unit: '%', minMax: 100 },
];

// Polls "Performance" once a second. Each poll passes back the "timestamp" of the previous
// reply, so only samples taken since then come back; they are appended to the charts.
// Listeners of the processes get the newest sample's process list when they asked for it.
export class PerformanceFeed {
  constructor() {
    this.timestamp = 0;
    this.lastPointTime = 0;
    this.wantProcesses = false;
    this.onProcesses = () => {};
    this.error = byId('performance-error');
    this.charts = new Map(MACHINE_SERIES.map((s) => [s.key, new LineChart(byId(s.chart), {
      series: [{ key: s.key, label: s.label }], unit: s.unit, minMax: s.minMax, windowMs: LIVE_WINDOW_MS,
    })]));
    this.poller = new Poller(() => this.poll(), 1000);
  }

  start() { this.poller.start(); }

  async poll() {
    const type = 1 | (this.wantProcesses ? 2 : 0);
    let answer;
    try {
      // Sent as a signed 32-bit number: the plug-in reads it as one and compares it unsigned,
      // so a tick count past 2^31 still means the same moment.
      answer = await callOpcode('Performance', { type, timestamp: this.timestamp | 0 });
    } catch (error) {
      showText(this.error, error.message);
      return;
    }
    if (!answer.result) {
      const text = failureText(answer, 'The performance request failed');
      // A host restarted on another clock: start over from its oldest sample.
      if (text === 'invalid timestamp') this.timestamp = 0;
      showText(this.error, text);
      return;
    }
    showText(this.error, '');
    this.take(answer.reply);
  }

  take(reply) {
    const metrics = reply.metrics ?? {};
    this.addSamples(listOf(metrics.metric));
    if (typeof reply.timestamp === 'number') this.timestamp = reply.timestamp;
    if (metrics.processMetrics !== undefined) this.onProcesses(listOf(metrics.processMetrics.process));
  }

  // Samples carry no time of their own; they are a second apart and the newest is "now".
  addSamples(samples) {
    if (samples.length === 0) return;
    const now = Date.now();
    samples.forEach((sample, index) => {
      const t = Math.max(now - (samples.length - 1 - index) * SAMPLE_SPACING_MS, this.lastPointTime + 1);
      this.lastPointTime = t;
      for (const [key, chart] of this.charts) {
        if (typeof sample[key] === 'number') chart.append(key, [{ t, v: sample[key] }]);
      }
    });
    for (const chart of this.charts.values()) chart.render();
  }
}

const HISTORY_SERIES = [
  { key: 'overall_cpu', label: 'Machine CPU' },
  { key: 'overall_mem', label: 'Machine memory' },
  { key: 'cpu', label: 'Session CPU' },
  { key: 'mem', label: 'Session memory' },
];

// "HistoricalMetrics" of the chosen session, replaced as a whole on each poll: the plug-in
// keeps only the newest 30 pushes of the performance monitor.
export class HistoryView {
  constructor() {
    this.sessionId = null;
    this.error = byId('history-error');
    this.note = byId('history-note');
    this.chart = new LineChart(byId('chart-history'), {
      series: HISTORY_SERIES, unit: '%', minMax: 100, width: 1180, height: 240,
    });
    this.poller = new Poller(() => this.poll(), 5000);
  }

  setSession(sessionId) {
    this.sessionId = sessionId;
    this.chart.clear();
    this.chart.render();
    this.poller.refresh();
  }

  show() { this.poller.start(); }

  hide() { this.poller.stop(); }

  async poll() {
    if (this.sessionId === null) {
      showText(this.note, 'Choose a session to see its history.');
      return;
    }
    const sessionId = this.sessionId;
    let answer;
    try {
      answer = await callOpcode('HistoricalMetrics', { SESSIONID: sessionId });
    } catch (error) {
      showText(this.error, error.message);
      return;
    }
    if (sessionId !== this.sessionId) return; // the session changed meanwhile
    if (!answer.result) {
      showText(this.error, failureText(answer, 'The history request failed'));
      return;
    }
    showText(this.error, '');
    this.draw(listOf(answer.reply.historicalMetrics?.metric));
  }

  draw(entries) {
    showText(this.note, entries.length === 0
      ? 'No history yet: the performance monitor has not pushed a sample.' : '');
    for (const { key } of HISTORY_SERIES) {
      this.chart.replace(key, entries
        .filter((entry) => typeof entry[key] === 'number' && entry.timestamp > 0)
        .map((entry) => ({ t: entry.timestamp, v: entry[key] })));
    }
    this.chart.render();
  }
}
