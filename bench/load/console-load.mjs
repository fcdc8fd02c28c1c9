// Load on a running `dorn serve`, on loopback only: consoles polling "Performance" once a
// second as the page does, plus callers asking "ProtocolInfo" back to back, for a bounded time.
// Samples the server's resident memory each second and its processor time over the run.
//
//   node console-load.mjs --url http://127.0.0.1:PORT/login?token=T --pid PID
//       [--seconds 60] [--consoles 20] [--protocol-callers 10] [--clock-ticks 100]
//
// Exit status: 0 when no request failed beyond the plug-in's own "no free slot" answer to
// "ProtocolInfo", 1 otherwise, 2 on bad arguments.
import { readFileSync } from 'node:fs';
import { parseArgs } from 'node:util';

const SLOT_REFUSAL = 'No available aync threads for HelpDesk';
const GRACE_MS = 30_000; // requests still open this long after the end are aborted

function options() {
  const { values } = parseArgs({
    options: {
      url: { type: 'string' },
      pid: { type: 'string' },
      seconds: { type: 'string', default: '60' },
      consoles: { type: 'string', default: '20' },
      'protocol-callers': { type: 'string', default: '10' },
      'clock-ticks': { type: 'string', default: '100' },
    },
  });
  const numbers = {};
  for (const key of ['pid', 'seconds', 'consoles', 'protocol-callers', 'clock-ticks']) {
    numbers[key] = Number(values[key]);
    if (!Number.isInteger(numbers[key]) || numbers[key] < 1 || numbers[key] > 1e7) {
      throw new Error(`--${key} needs a positive whole number, not ${values[key]}`);
    }
  }
  const url = new URL(values.url ?? '');
  const token = url.searchParams.get('token');
  if (!['127.0.0.1', 'localhost', '[::1]'].includes(url.hostname) && !url.hostname.startsWith('127.')) {
    throw new Error(`the load goes to loopback only, not ${url.hostname}`);
  }
  if (!token) throw new Error('the URL carries no token');
  return { origin: url.origin, token, ...numbers };
}

// Latencies and outcomes of one kind of request.
class Tally {
  constructor() {
    this.latencies = [];
    this.outcomes = new Map();
  }

  count(outcome, ms) {
    this.outcomes.set(outcome, (this.outcomes.get(outcome) ?? 0) + 1);
    if (ms !== undefined) this.latencies.push(ms);
  }

  percentile(p) {
    if (this.latencies.length === 0) return 0;
    const sorted = [...this.latencies].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
  }

  get total() {
    return [...this.outcomes.values()].reduce((a, b) => a + b, 0);
  }

  errors(allowed) {
    return [...this.outcomes].filter(([outcome]) => !allowed.includes(outcome)).reduce((a, [, n]) => a + n, 0);
  }
}

async function post(config, opcode, bag, signal) {
  const started = performance.now();
  const response = await fetch(`${config.origin}/api/${opcode}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${config.token}` },
    body: JSON.stringify(bag),
    signal,
  });
  const text = await response.text();
  const ms = performance.now() - started;
  if (response.status !== 200) return { outcome: `HTTP ${response.status}: ${text.slice(0, 120)}`, ms };
  const answer = JSON.parse(text);
  if (answer.result === true) return { outcome: 'ok', ms, reply: answer.reply };
  return { outcome: `plug-in: ${answer.error?.text ?? '(no text)'}`, ms };
}

async function guarded(tally, request) {
  try {
    const result = await request();
    tally.count(result.outcome, result.ms);
    return result;
  } catch (error) {
    tally.count(`failed: ${error.name === 'AbortError' ? 'aborted at the end' : error.message}`);
    return null;
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// One console on its process view: "Performance" type 3 once a second, each poll passing
// back the previous reply's "timestamp"; the next poll waits for the previous answer.
async function consoleLoop(config, tally, deadline, signal) {
  let timestamp = 0;
  while (performance.now() < deadline) {
    const started = performance.now();
    const result = await guarded(tally, () => post(config, 'Performance', { type: 3, timestamp: timestamp | 0 }, signal));
    if (result?.reply && typeof result.reply.timestamp === 'number') timestamp = result.reply.timestamp;
    await sleep(Math.max(0, 1000 - (performance.now() - started)));
  }
}

async function protocolLoop(config, tally, deadline, signal, sessionId) {
  while (performance.now() < deadline) {
    await guarded(tally, () => post(config, 'ProtocolInfo', { SESSIONID: sessionId }, signal));
  }
}

function readProc(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  const rssKb = Number(/^VmRSS:\s+(\d+)/m.exec(status)?.[1] ?? NaN);
  // The command name in parentheses may hold spaces; fields count from after it.
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const cpuTicks = Number(fields[11]) + Number(fields[12]); // utime + stime
  return { rssKb, cpuTicks };
}

function report(config, results) {
  const { perf, protocol, rss, cpuPercent, seconds } = results;
  const mib = (kb) => `${(kb / 1024).toFixed(1)} MiB`;
  const lines = [
    `dorn serve load: ${config.consoles} consoles polling Performance every second, `
      + `${config['protocol-callers']} ProtocolInfo callers, ${seconds.toFixed(1)} s`,
  ];
  for (const [name, tally] of [['Performance', perf], ['ProtocolInfo', protocol]]) {
    lines.push(`${name}: ${tally.total} requests, p50 ${tally.percentile(50).toFixed(0)} ms, `
      + `p95 ${tally.percentile(95).toFixed(0)} ms, max ${tally.percentile(100).toFixed(0)} ms`);
    for (const [outcome, n] of tally.outcomes) lines.push(`  ${outcome}: ${n}`);
  }
  lines.push(`VmRSS: first ${mib(rss[0])}, last ${mib(rss[rss.length - 1])}, max ${mib(Math.max(...rss))} (${rss.length} samples)`);
  // The first seconds include the start of the collection thread and of the server's
  // threads; growth after them is what would show a leak.
  lines.push(`VmRSS every 10 s: ${rss.filter((_, i) => i % 10 === 0).map((kb) => (kb / 1024).toFixed(1)).join(', ')} MiB`);
  lines.push(`CPU: ${cpuPercent.toFixed(1)} % of one core (utime+stime over the run)`);
  return lines.join('\n');
}

async function main() {
  let config;
  try {
    config = options();
  } catch (error) {
    console.error(`console-load: ${error.message}`);
    process.exit(2);
  }
  const perf = new Tally();
  const protocol = new Tally();
  const rss = [];
  const first = readProc(config.pid);
  rss.push(first.rssKb);
  const sampler = setInterval(() => {
    try {
      rss.push(readProc(config.pid).rssKb);
    } catch {
      // the server has gone: its requests fail and are counted
    }
  }, 1000);

  const started = performance.now();
  const deadline = started + config.seconds * 1000;
  const abort = new AbortController();
  const hardStop = setTimeout(() => abort.abort(), config.seconds * 1000 + GRACE_MS);
  const loops = [];
  for (let i = 0; i < config.consoles; i += 1) {
    loops.push(sleep((i * 1000) / config.consoles).then(() => consoleLoop(config, perf, deadline, abort.signal)));
  }
  for (let i = 0; i < config['protocol-callers']; i += 1) {
    loops.push(protocolLoop(config, protocol, deadline, abort.signal, i % 2 === 0 ? 3 : 4));
  }
  await Promise.all(loops);
  clearTimeout(hardStop);
  clearInterval(sampler);
  const last = readProc(config.pid);
  rss.push(last.rssKb);
  const seconds = (performance.now() - started) / 1000;
  const cpuPercent = ((last.cpuTicks - first.cpuTicks) / config['clock-ticks'] / seconds) * 100;

  console.log(report(config, { perf, protocol, rss, cpuPercent, seconds }));
  const errors = perf.errors(['ok']) + protocol.errors(['ok', `plug-in: ${SLOT_REFUSAL}`]);
  console.log(errors === 0 ? 'no error beyond the plug-in\'s slot refusal' : `${errors} requests failed`);
  process.exit(errors === 0 ? 0 : 1);
}

main();
