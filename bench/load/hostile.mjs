// Hostile clients against a running `dorn serve` (or any HTTP/1.1 server with its endpoints and
// token rules), on loopback only, one scenario after another. Through every scenario an
// operator (the bearer token, `POST /api/Performance` with `{}`) asks once every 250 ms on a
// new connection, each request with a 5 s bound, whether or not the previous one was answered,
// and the server's memory, threads, descriptors and processor time are read from /proc.
//
//   node hostile.mjs run --url http://127.0.0.1:PORT/login?token=T --pid PID --results FILE
//       [--scenario NAME[,NAME…]] [--seconds 15] [--connections 1000] [--clock-ticks 100]
//   node hostile.mjs check [the same options]         only checks them
//   node hostile.mjs hold --url … --pid PID --results FILE [--connections 1000]  (FILE unused)
//   node hostile.mjs report --results FILE [--stop-status S --stop-seconds T [--stop-held N]]
//
// `run` prints one line per scenario and writes the figures to FILE; `hold` opens slow-header
// connections, prints "held" once they are open and keeps them until the server has ended (for
// a stop under load); `report` prints the figures as a table, with the stop's when given.
// Exit status: 0 when the run completed (whatever the figures), 1 when it could not, 2 on bad
// arguments.
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import { once } from 'node:events';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { parseArgs } from 'node:util';
import { Worker, isMainThread, parentPort, workerData } from 'node:worker_threads';

const OPERATOR_INTERVAL_MS = 250;
const SAMPLE_INTERVAL_MS = 250;
const REQUEST_TIMEOUT_MS = 5000;
const SETTLE_MS = 5000; // after a scenario, for the server's descriptors to come back
const SLOW_HEADER_INTERVAL_MS = 2000;
const HALF_BODY_LENGTH = 1000;
const HALF_BODY_SENT = '{"type":3,'; // 10 bytes of the 1000 announced
const BURSTS = 10;
const BURST_SIZE = 100;
const BURST_INTERVAL_MS = 1000;
const KEPT_ALIVE = 64;
const KEPT_ALIVE_INTERVAL_MS = 2500;
const NEW_CLIENT_INTERVAL_MS = 1000;
const POLLERS = 40;
const POLL_INTERVAL_MS = 1000;
const HUGE_HEADER_LIMIT = 56 * 1024 * 1024;
const HUGE_HEADER_LINE = 1024; // "X-Pad-NNNNN: aaa…\r\n"
const HUGE_HEADER_CHUNK_LINES = 64;

// The goal, for every scenario: the operator answered within 1 s, every time, and the server's
// peak resident memory under 64 MiB; a stop within 5 s with exit status 0.
const GOAL_OPERATOR_MS = 1000;
const GOAL_RSS_MIB = 64;
const GOAL_STOP_SECONDS = 5;

const SCENARIOS = ['slow-headers', 'half-body', 'idle', 'burst', 'keepalive', 'pollers', 'huge-headers'];

const now = () => performance.timeOrigin + performance.now(); // the same clock in every thread
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, Math.max(0, ms)));

// ---------------------------------------------------------------------------------------------
// Options

function options(argv) {
  const command = argv[0];
  if (!['run', 'check', 'hold', 'report'].includes(command)) {
    throw new Error('the first argument is run, check, hold or report');
  }
  const { values } = parseArgs({
    args: argv.slice(1),
    options: {
      url: { type: 'string' },
      pid: { type: 'string' },
      results: { type: 'string' },
      scenario: { type: 'string', multiple: true },
      seconds: { type: 'string', default: '15' },
      connections: { type: 'string', default: '1000' },
      'clock-ticks': { type: 'string', default: '100' },
      'stop-status': { type: 'string' },
      'stop-seconds': { type: 'string' },
      'stop-held': { type: 'string' },
    },
  });
  if (!values.results) throw new Error('--results FILE is needed');
  if (command === 'report') return { command, results: values.results, stop: stopOf(values) };

  const numbers = {};
  for (const key of ['pid', 'seconds', 'connections', 'clock-ticks']) {
    numbers[key] = Number(values[key]);
    if (!Number.isInteger(numbers[key]) || numbers[key] < 1 || numbers[key] > 1e7) {
      throw new Error(`--${key} needs a positive whole number, not ${values[key]}`);
    }
  }
  const scenarios = (values.scenario ?? SCENARIOS).flatMap((names) => names.split(',')).filter(Boolean);
  for (const name of scenarios) {
    if (!SCENARIOS.includes(name)) throw new Error(`no scenario ${name}; there are ${SCENARIOS.join(', ')}`);
  }
  const url = new URL(values.url ?? '');
  const token = url.searchParams.get('token');
  const hostname = url.hostname.replace(/^\[|\]$/g, '');
  if (!(hostname === 'localhost' || hostname === '::1' || /^127\./.test(hostname))) {
    throw new Error(`the load goes to loopback only, not ${url.hostname}`);
  }
  if (!token) throw new Error('the URL carries no token');
  const target = { hostname, port: Number(url.port || 80), host: url.host };
  return { command, results: values.results, target, token, scenarios, ...numbers };
}

function stopOf(values) {
  if (values['stop-status'] === undefined) return null;
  return { status: values['stop-status'], seconds: Number(values['stop-seconds']), held: Number(values['stop-held'] ?? 0) };
}

// ---------------------------------------------------------------------------------------------
// Figures

function percentile(sorted, p) {
  if (sorted.length === 0) return null;
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

// Latencies and outcomes of one kind of request; "ok" is the expected answer.
class Tally {
  constructor() {
    this.latencies = [];
    this.outcomes = {};
  }

  count({ outcome, ms }) {
    this.outcomes[outcome] = (this.outcomes[outcome] ?? 0) + 1;
    this.latencies.push(ms);
  }

  figures() {
    const sorted = [...this.latencies].sort((a, b) => a - b);
    const failed = Object.entries(this.outcomes).filter(([o]) => o !== 'ok').reduce((a, [, n]) => a + n, 0);
    return {
      requests: sorted.length,
      p50: percentile(sorted, 50),
      p99: percentile(sorted, 99),
      max: percentile(sorted, 100),
      failed,
      timeouts: this.outcomes.timeout ?? 0,
      outcomes: this.outcomes,
    };
  }
}

function bump(map, key) {
  map[key] = (map[key] ?? 0) + 1;
}

const ms = (v) => (v === null || v === undefined ? '—' : `${Math.round(v)}`);
const sec = (v) => (v === null || v === undefined ? '—' : `${(v / 1000).toFixed(1)} s`);
const bytes = (n) => (n >= 1024 * 1024 ? `${(n / 1024 / 1024).toFixed(1)} MiB` : n >= 1024 ? `${(n / 1024).toFixed(1)} KiB` : `${n} B`);
const counts = (map) => Object.entries(map).sort((a, b) => b[1] - a[1]).map(([k, n]) => `${k} ×${n}`).join(', ');
const failuresOf = (f) => Object.fromEntries(Object.entries(f.outcomes).filter(([outcome]) => outcome !== 'ok'));
const latencyText = (f) => `p50 ${ms(f.p50)} / p99 ${ms(f.p99)} / max ${ms(f.max)} ms`;

// ---------------------------------------------------------------------------------------------
// HTTP requests with a bound (the operator, kept-alive clients, new clients, pollers)

function errorName(error) {
  return error.code ?? error.message;
}

// One request; resolves with its outcome ("ok" for a 200, "HTTP nnn", "timeout", an error code),
// its time from the start, connecting included, and with `keepText` the answer's body. `agent`
// false: a connection of its own.
function timedRequest(target, { method = 'GET', path, token, body, agent = false, keepText = false }) {
  return new Promise((resolve) => {
    const started = performance.now();
    let settled = false;
    let reused = false;
    let text = '';
    const finish = (outcome) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      resolve({ outcome, ms: performance.now() - started, reused, text });
    };
    const headers = { Host: target.host };
    if (token) headers.Authorization = `Bearer ${token}`;
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      headers['Content-Length'] = Buffer.byteLength(body);
    }
    const request = http.request({ host: target.hostname, port: target.port, method, path, headers, agent }, (response) => {
      response.setEncoding('utf8');
      response.on('data', (chunk) => {
        if (keepText) text += chunk;
      });
      response.on('end', () => finish(response.statusCode === 200 ? 'ok' : `HTTP ${response.statusCode}`));
      response.on('error', (error) => finish(errorName(error)));
      response.on('aborted', () => finish('aborted answer'));
    });
    request.on('socket', () => {
      reused = request.reusedSocket;
    });
    const timer = setTimeout(() => {
      finish('timeout');
      request.destroy();
    }, REQUEST_TIMEOUT_MS);
    request.on('error', (error) => finish(errorName(error)));
    request.end(body);
  });
}

function operatorRequest(target, token) {
  return timedRequest(target, { method: 'POST', path: '/api/Performance', token, body: '{}' });
}

// ---------------------------------------------------------------------------------------------
// The probe: the operator and the server's figures, on a thread of its own so that the hostile
// clients' work on the main thread does not delay it.

function readProc(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+)`, 'm').exec(status)?.[1] ?? NaN);
  // The command name in parentheses may hold spaces; fields count from after it.
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  let fds = NaN;
  try {
    fds = readdirSync(`/proc/${pid}/fd`).length;
  } catch {
    // not ours to read: no figure
  }
  return {
    state: fields[0],
    rssKb: field('VmRSS'),
    hwmKb: field('VmHWM'),
    threads: field('Threads'),
    fds,
    cpuTicks: Number(fields[11]) + Number(fields[12]), // utime + stime
  };
}

function alive(reading) {
  return reading !== null && reading.state !== 'Z' && reading.state !== 'X';
}

function tryReadProc(pid) {
  try {
    return readProc(pid);
  } catch {
    return null;
  }
}

async function probe({ target, token, pid, deadline }) {
  const operator = new Tally();
  const first = tryReadProc(pid);
  const peak = { rssKb: 0, hwmKb: 0, threads: 0, fds: 0 };
  let gone = !alive(first);
  const sample = () => {
    const reading = tryReadProc(pid);
    if (!alive(reading)) {
      gone = true;
      return reading;
    }
    for (const key of Object.keys(peak)) {
      if (Number.isFinite(reading[key])) peak[key] = Math.max(peak[key], reading[key]);
    }
    return reading;
  };
  sample();
  const sampler = setInterval(sample, SAMPLE_INTERVAL_MS);
  const requests = [];
  const started = now();
  for (let i = 0; started + i * OPERATOR_INTERVAL_MS < deadline; i += 1) {
    await sleep(started + i * OPERATOR_INTERVAL_MS - now());
    requests.push(operatorRequest(target, token).then((result) => operator.count(result)));
  }
  await Promise.all(requests);
  clearInterval(sampler);
  const last = sample();
  const cpuSeconds = alive(first) && alive(last) ? (last.cpuTicks - first.cpuTicks) / workerData.clockTicks : null;
  return { operator: operator.figures(), peak, cpuSeconds, gone };
}

// ---------------------------------------------------------------------------------------------
// Raw connections, for clients that do not follow HTTP's pace

class RawConnection {
  constructor(target, t0) {
    this.t0 = t0;
    this.connected = false;
    this.connectError = null;
    this.connectedAt = null;
    this.end = null; // { at, how } once the server closed it
    this.status = null; // of the server's first answer
    this.answeredAt = null;
    this.head = '';
    this.received = 0;
    this.ours = false; // closed by us
    this.onConnect = null;
    this.onEnd = null;
    this.onAnswer = null;
    this.socket = net.connect({ host: target.hostname, port: target.port });
    this.socket.setNoDelay(true);
    this.socket.on('connect', () => {
      this.connected = true;
      this.connectedAt = now() - t0;
      this.onConnect?.();
    });
    this.socket.on('data', (chunk) => {
      this.received += chunk.length;
      if (this.status !== null) return;
      this.head += chunk.toString('latin1', 0, Math.min(chunk.length, 32));
      const match = /^HTTP\/\d\.\d (\d{3})/.exec(this.head);
      if (match || this.head.length >= 12) {
        this.status = match ? `HTTP ${match[1]}` : 'not HTTP';
        this.answeredAt = now() - t0;
        this.onAnswer?.();
      }
    });
    this.socket.on('end', () => this.serverClosed('closed'));
    this.socket.on('error', (error) => {
      if (!this.connected) this.connectError = errorName(error);
      else this.serverClosed(errorName(error));
      if (!this.connected) this.onEnd?.();
    });
    this.socket.on('close', () => {
      if (this.connected) this.serverClosed('closed');
    });
  }

  serverClosed(how) {
    if (this.ours || this.end) return;
    this.end = { at: now() - this.t0, how };
    this.onEnd?.();
  }

  get open() {
    return this.connected && !this.end && !this.ours;
  }

  write(data, callback) {
    if (!this.open) return true;
    return this.socket.write(data, callback);
  }

  close() {
    this.ours = true;
    this.socket.destroy();
  }
}

// What became of connections held open: how many connected, how many the server closed and
// after how long they were held, and what it answered.
function heldFigures(connections) {
  const connectErrors = {};
  const closedHow = {};
  const answers = {};
  const held = [];
  let connected = 0;
  for (const c of connections) {
    if (c.connectError) bump(connectErrors, c.connectError);
    if (c.connected) connected += 1;
    if (c.status) bump(answers, c.status);
    if (c.end) {
      bump(closedHow, c.end.how);
      held.push(c.end.at - c.connectedAt);
    }
  }
  held.sort((a, b) => a - b);
  const pending = connections.length - connected - Object.values(connectErrors).reduce((a, n) => a + n, 0);
  return {
    opened: connections.length,
    connected,
    connectErrors,
    pending,
    closedByServer: held.length,
    closedHow,
    heldMs: { first: percentile(held, 0), median: percentile(held, 50), last: percentile(held, 100) },
    answers,
  };
}

function heldText(f) {
  const parts = [`${f.connected} of ${f.opened} connected`];
  if (Object.keys(f.connectErrors).length) parts.push(`refused: ${counts(f.connectErrors)}`);
  if (f.pending) parts.push(`${f.pending} still connecting at the end`);
  if (f.closedByServer === 0) {
    parts.push('the server closed none');
  } else {
    parts.push(`the server closed ${f.closedByServer} after ${sec(f.heldMs.first)} (first), `
      + `${sec(f.heldMs.median)} (median), ${sec(f.heldMs.last)} (last) [${counts(f.closedHow)}]`);
  }
  if (Object.keys(f.answers).length) parts.push(`answers: ${counts(f.answers)}`);
  return parts.join('; ');
}

async function untilDeadline(ctx) {
  await sleep(ctx.deadline - now());
}

// ---------------------------------------------------------------------------------------------
// The scenarios: each runs until ctx.deadline, closes what it opened and returns
// { text, data } for the table.

function holdConnections(ctx, onConnect) {
  const connections = [];
  for (let i = 0; i < ctx.connections; i += 1) {
    const c = new RawConnection(ctx.target, ctx.t0);
    c.onConnect = () => onConnect(c);
    connections.push(c);
  }
  return connections;
}

// Connections that send a request line and then one header line every 2 s, never the end.
function slowHeaderConnections(ctx) {
  const connections = holdConnections(ctx, (c) => c.write('GET /api/sessions HTTP/1.1\r\n'));
  let line = 0;
  const drip = setInterval(() => {
    line += 1;
    const text = line === 1 ? `Host: ${ctx.target.host}\r\n` : `X-Slow-${line}: ${line}\r\n`;
    for (const c of connections) c.write(text);
  }, SLOW_HEADER_INTERVAL_MS);
  const close = () => {
    clearInterval(drip);
    connections.forEach((c) => c.close());
  };
  return { connections, close };
}

async function slowHeaders(ctx) {
  const { connections, close } = slowHeaderConnections(ctx);
  await untilDeadline(ctx);
  close();
  const data = heldFigures(connections);
  return { text: heldText(data), data };
}

async function halfBody(ctx) {
  // With the token: a server may refuse a request without it before reading its body, and the
  // body's deadline is what this scenario is about (a console on a slow or stalled link).
  const head = `POST /api/Performance HTTP/1.1\r\nHost: ${ctx.target.host}\r\n`
    + `Authorization: Bearer ${ctx.token}\r\nContent-Type: application/json\r\n`
    + `Content-Length: ${HALF_BODY_LENGTH}\r\n\r\n`;
  const connections = holdConnections(ctx, (c) => c.write(head + HALF_BODY_SENT));
  await untilDeadline(ctx);
  connections.forEach((c) => c.close());
  const data = heldFigures(connections);
  return { text: heldText(data), data };
}

async function idle(ctx) {
  const connections = holdConnections(ctx, () => {});
  await untilDeadline(ctx);
  connections.forEach((c) => c.close());
  const data = heldFigures(connections);
  return { text: heldText(data), data };
}

// One unauthenticated GET /api/sessions on a connection of its own; settles with the answer's
// status, the error, "closed without an answer" or "no answer in 5 s".
function burstClient(ctx) {
  return new Promise((resolve) => {
    const started = now();
    const c = new RawConnection(ctx.target, ctx.t0);
    let settled = false;
    const settle = (outcome) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      c.close();
      resolve({ outcome, ms: now() - started });
    };
    const timer = setTimeout(() => settle('no answer in 5 s'), REQUEST_TIMEOUT_MS);
    c.onConnect = () => c.write(`GET /api/sessions HTTP/1.1\r\nHost: ${ctx.target.host}\r\nConnection: close\r\n\r\n`);
    c.onAnswer = () => settle(c.status);
    c.onEnd = () => settle(c.connectError ?? (c.end.how === 'closed' ? 'closed without an answer' : c.end.how));
  });
}

async function burst(ctx) {
  const outcomes = {};
  const answered = [];
  const clients = [];
  for (let b = 0; b < BURSTS; b += 1) {
    await sleep(ctx.t0 + b * BURST_INTERVAL_MS - now());
    for (let i = 0; i < BURST_SIZE; i += 1) {
      clients.push(burstClient(ctx).then(({ outcome, ms: took }) => {
        bump(outcomes, outcome);
        if (outcome.startsWith('HTTP ')) answered.push(took);
      }));
    }
  }
  await Promise.all(clients); // each bounded by 5 s
  await untilDeadline(ctx);
  answered.sort((a, b) => a - b);
  const resets = outcomes.ECONNRESET ?? 0;
  const refusals = outcomes.ECONNREFUSED ?? 0;
  const data = {
    connects: BURSTS * BURST_SIZE,
    outcomes,
    resets,
    refusals,
    answerMs: { p50: percentile(answered, 50), p99: percentile(answered, 99), max: percentile(answered, 100) },
  };
  const text = `${data.connects} connects: ${counts(outcomes)}; resets ${resets}, refusals ${refusals}; `
    + `answered in ${latencyText(data.answerMs)}`;
  return { text, data };
}

async function keepalive(ctx) {
  const kept = new Tally();
  const newClients = new Tally();
  const agents = [];
  let reconnects = 0;
  const loops = [];
  for (let i = 0; i < KEPT_ALIVE; i += 1) {
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    agents.push(agent);
    loops.push((async () => {
      await sleep((i * KEPT_ALIVE_INTERVAL_MS) / KEPT_ALIVE);
      let first = true;
      while (now() < ctx.deadline) {
        const started = now();
        const result = await timedRequest(ctx.target, { path: '/api/sessions', token: ctx.token, agent });
        kept.count(result);
        if (!first && !result.reused) reconnects += 1;
        first = false;
        await sleep(started + KEPT_ALIVE_INTERVAL_MS - now());
      }
    })());
  }
  const arrivals = [];
  for (let i = 0; ctx.t0 + i * NEW_CLIENT_INTERVAL_MS < ctx.deadline; i += 1) {
    await sleep(ctx.t0 + i * NEW_CLIENT_INTERVAL_MS - now());
    arrivals.push(timedRequest(ctx.target, { path: '/api/sessions', token: ctx.token }).then((r) => newClients.count(r)));
  }
  await Promise.all([...loops, ...arrivals]);
  agents.forEach((agent) => agent.destroy());
  const data = { newClients: newClients.figures(), keptAlive: kept.figures(), reconnects };
  const text = `new clients: ${latencyText(data.newClients)}, ${data.newClients.failed} of `
    + `${data.newClients.requests} failed; ${KEPT_ALIVE} kept-alive: ${latencyText(data.keptAlive)}, `
    + `${data.keptAlive.failed} of ${data.keptAlive.requests} failed, ${reconnects} reconnects`;
  return { text, data };
}

// As the console page does: each poll passes back the previous reply's "timestamp", so that only
// newer samples come back.
function nextTimestamp(result, previous) {
  if (result.outcome !== 'ok') return previous;
  try {
    const timestamp = JSON.parse(result.text).reply?.timestamp;
    return typeof timestamp === 'number' ? timestamp | 0 : previous;
  } catch {
    return previous;
  }
}

async function pollers(ctx) {
  const polls = new Tally();
  const agents = [];
  const loops = [];
  for (let i = 0; i < POLLERS; i += 1) {
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    agents.push(agent);
    loops.push((async () => {
      await sleep((i * POLL_INTERVAL_MS) / POLLERS);
      let timestamp = 0;
      while (now() < ctx.deadline) {
        const started = now();
        const body = JSON.stringify({ type: 3, timestamp });
        const result = await timedRequest(ctx.target, { method: 'POST', path: '/api/Performance', token: ctx.token, body, agent, keepText: true });
        polls.count(result);
        timestamp = nextTimestamp(result, timestamp);
        await sleep(started + POLL_INTERVAL_MS - now());
      }
    })());
  }
  await Promise.all(loops);
  agents.forEach((agent) => agent.destroy());
  const data = { polls: polls.figures() };
  const text = `${POLLERS} consoles polling each second: ${latencyText(data.polls)}, `
    + `${data.polls.failed} of ${data.polls.requests} failed${data.polls.failed ? ` (${counts(failuresOf(data.polls))})` : ''}`;
  return { text, data };
}

// The kernel's queues of a loopback connection, from /proc/net/tcp: bytes our socket has not
// had acknowledged (tx) and bytes the server's socket holds unread (rx).
function socketQueues(clientPort, serverPort) {
  let text;
  try {
    text = readFileSync('/proc/net/tcp', 'utf8') + readFileSync('/proc/net/tcp6', 'utf8');
  } catch {
    return null;
  }
  const port = (address) => parseInt(address.slice(address.lastIndexOf(':') + 1), 16);
  let ours = null;
  let theirs = null;
  for (const line of text.split('\n').slice(1)) {
    const f = line.trim().split(/\s+/);
    if (f.length < 5) continue;
    const [tx, rx] = f[4].split(':').map((h) => parseInt(h, 16));
    if (port(f[1]) === clientPort && port(f[2]) === serverPort) ours = tx;
    if (port(f[1]) === serverPort && port(f[2]) === clientPort) theirs = rx;
  }
  return ours === null || theirs === null ? null : { tx: ours, rx: theirs };
}

function padLines(first, count) {
  const pad = 'a'.repeat(HUGE_HEADER_LINE - 'X-Pad-00000: \r\n'.length);
  let text = '';
  for (let i = first; i < first + count; i += 1) text += `X-Pad-${String(i).padStart(5, '0')}: ${pad}\r\n`;
  return text;
}

async function hugeHeaders(ctx) {
  const c = new RawConnection(ctx.target, ctx.t0);
  let flushed = 0; // bytes the kernel took from us
  let estimate = null; // bytes the server had read, at the last reading of the queues
  const ended = new Promise((resolve) => {
    c.onEnd = resolve;
  });
  const answered = new Promise((resolve) => {
    c.onAnswer = resolve;
  });
  const stopped = Promise.race([ended, answered, sleep(ctx.deadline - now())]);
  await Promise.race([once(c.socket, 'connect').catch(() => {}), stopped]);
  let queues = null;
  const clientPort = c.socket.localPort;
  const readQueues = () => {
    const q = c.open ? socketQueues(clientPort, ctx.target.port) : null;
    if (q) estimate = Math.max(0, flushed - q.tx - q.rx);
  };
  if (c.open) queues = setInterval(readQueues, 50);
  let sent = 0;
  const head = `GET /api/sessions HTTP/1.1\r\nHost: ${ctx.target.host}\r\n`;
  c.write(head, () => {
    flushed += head.length;
  });
  let line = 0;
  let finished = false;
  while (c.open && now() < ctx.deadline && c.status === null) {
    if (sent >= HUGE_HEADER_LIMIT) {
      finished = true;
      c.write('\r\n');
      break;
    }
    const chunk = padLines(line, HUGE_HEADER_CHUNK_LINES);
    line += HUGE_HEADER_CHUNK_LINES;
    sent += chunk.length;
    if (!c.write(chunk, () => { flushed += chunk.length; })) {
      readQueues(); // the server has fallen behind: the moment its share is known best
      await Promise.race([once(c.socket, 'drain').catch(() => {}), stopped]);
    }
    // A turn of the event loop, so that an answer is read before the next chunk goes out: a
    // server that answers and then closes would otherwise be heard only as a failed write.
    await new Promise((resolve) => setImmediate(resolve));
  }
  await stopped;
  // An answer is usually followed by the close: a moment to see it.
  if (c.status !== null && !c.end) await Promise.race([ended, sleep(Math.min(1000, ctx.deadline - now()))]);
  clearInterval(queues);
  const at = c.answeredAt ?? c.end?.at ?? null;
  const data = {
    answer: c.status ?? (c.end ? c.end.how : c.connectError ?? 'none by the end'),
    closed: c.end?.how ?? null,
    atMs: at,
    flushed,
    readEstimate: estimate,
    allSent: finished,
  };
  c.close();
  await untilDeadline(ctx);
  let text = `answer: ${data.answer}${at !== null ? ` after ${sec(at)}` : ''}`;
  if (data.closed && data.answer !== data.closed) text += `, then ${data.closed}`;
  text += `; ${bytes(flushed)} written${finished ? ' (all of it, and the blank line)' : ''}`;
  if (estimate !== null) text += `, about ${bytes(estimate)} read by the server`;
  return { text, data };
}

const RUNNERS = {
  'slow-headers': slowHeaders,
  'half-body': halfBody,
  idle,
  burst,
  keepalive,
  pollers,
  'huge-headers': hugeHeaders,
};

// ---------------------------------------------------------------------------------------------
// A run

function resetPeak(pid) {
  try {
    writeFileSync(`/proc/${pid}/clear_refs`, '5'); // VmHWM back to the current VmRSS
    return true;
  } catch {
    return false;
  }
}

// After a scenario: until the server holds no more descriptors than before it, at most 5 s.
async function settle(pid, baselineFds) {
  const started = now();
  let reading = tryReadProc(pid);
  while (alive(reading) && reading.fds > baselineFds && now() - started < SETTLE_MS) {
    await sleep(100);
    reading = tryReadProc(pid);
  }
  if (!alive(reading)) return { gone: true };
  return { ms: now() - started, fdsLeft: Math.max(0, reading.fds - baselineFds), settled: reading.fds <= baselineFds };
}

// The kernel's counts of handshakes a listening socket could not take (its listen queue full),
// of SYN cookies sent in their place, and of cookies that no longer matched when the client's
// next segment came. They count for every socket of the machine's
// network namespace, not only the server's.
const LISTEN_COUNTERS = ['ListenOverflows', 'SyncookiesSent', 'SyncookiesFailed'];

function listenQueueCounters() {
  try {
    const lines = readFileSync('/proc/net/netstat', 'utf8').split('\n').filter((l) => l.startsWith('TcpExt:'));
    const names = lines[0].split(/\s+/);
    const values = lines[1].split(/\s+/).map(Number);
    return Object.fromEntries(LISTEN_COUNTERS.map((name) => [name, values[names.indexOf(name)]]));
  } catch {
    return null;
  }
}

function difference(after, before) {
  if (!after || !before) return null;
  return Object.fromEntries(LISTEN_COUNTERS.map((name) => [name, after[name] - before[name]]));
}

function listenQueueText(q) {
  if (!q || Object.values(q).every((n) => !n)) return '';
  return `listen queue full ${q.ListenOverflows} times, ${q.SyncookiesSent} SYN cookies sent, `
    + `${q.SyncookiesFailed} no longer valid`;
}

async function runScenario(config, name) {
  const before = tryReadProc(config.pid);
  if (!alive(before)) return { name, skipped: 'the server was gone before it' };
  const peakReset = resetPeak(config.pid);
  const t0 = now();
  const deadline = t0 + config.seconds * 1000;
  const worker = new Worker(new URL(import.meta.url), {
    workerData: { target: config.target, token: config.token, pid: config.pid, deadline, clockTicks: config['clock-ticks'] },
  });
  const probed = once(worker, 'message');
  const ctx = { target: config.target, token: config.token, connections: config.connections, t0, deadline };
  const listenBefore = listenQueueCounters();
  const attack = await RUNNERS[name](ctx);
  // The wait for the descriptors runs from the moment the clients closed their connections.
  const [[probeResult], after] = await Promise.all([probed, settle(config.pid, before.fds)]);
  await worker.terminate();
  const listenQueue = difference(listenQueueCounters(), listenBefore);
  return { name, peakReset, ...probeResult, attack, settle: after, listenQueue, seconds: (now() - t0) / 1000 };
}

async function run(config) {
  // The plug-in starts its collection thread with the first "Performance" request and answers
  // it once the first samples are in (about 2 s); the operator's figures are the server's, not
  // that start's. The operator's requests then keep the thread alive from scenario to scenario.
  const warmUp = await operatorRequest(config.target, config.token);
  console.log(`warm-up Performance request: ${warmUp.outcome} in ${ms(warmUp.ms)} ms`);
  const results = { seconds: config.seconds, connections: config.connections, warmUp, scenarios: [] };
  for (const name of config.scenarios) {
    const result = await runScenario(config, name);
    results.scenarios.push(result);
    writeFileSync(config.results, JSON.stringify(results, null, 1));
    if (result.skipped) {
      console.log(`${name}: skipped, ${result.skipped}`);
      continue;
    }
    const o = result.operator;
    console.log(`${name}: operator ${latencyText(o)}, ${o.failed} of ${o.requests} failed; `
      + `peak RSS ${(Math.max(result.peak.rssKb, result.peak.hwmKb) / 1024).toFixed(1)} MiB; ${result.attack.text}`);
  }
}

// Slow-header connections held until the server has ended (at most 60 s after they are open).
async function hold(config) {
  const ctx = { target: config.target, connections: config.connections, t0: now() };
  const { connections, close } = slowHeaderConnections(ctx);
  const settled = () => connections.every((c) => c.connected || c.connectError);
  while (!settled() && now() - ctx.t0 < REQUEST_TIMEOUT_MS) await sleep(50);
  const data = heldFigures(connections);
  console.log(`held: ${data.connected} of ${data.opened} slow-header connections open`);
  const heldAt = now();
  while (alive(tryReadProc(config.pid)) && now() - heldAt < 60_000) await sleep(50);
  close();
}

// ---------------------------------------------------------------------------------------------
// The report

function settleText(s) {
  if (!s) return '';
  if (s.gone) return 'the server is gone';
  if (s.settled) return `the server's descriptors back to before in ${sec(s.ms)}`;
  return `${s.fdsLeft} descriptors more than before, 5 s after the end`;
}

const answeredInTime = (f) => f.requests > 0 && f.failed === 0 && f.p99 <= GOAL_OPERATOR_MS && f.max <= GOAL_OPERATOR_MS;

// What some scenarios ask beyond the operator's answer and the memory.
const OWN_GOALS = {
  burst: {
    text: 'every connect answered within 5 s',
    met: (d) => Object.keys(d.outcomes).every((outcome) => outcome.startsWith('HTTP ')),
  },
  keepalive: { text: 'the new clients too', met: (d) => answeredInTime(d.newClients) },
  pollers: { text: 'the pollers too', met: (d) => answeredInTime(d.polls) },
  'huge-headers': {
    text: 'refused as too large (400, 413, 431 or a close)',
    met: (d) => !d.allSent && (['HTTP 400', 'HTTP 413', 'HTTP 431'].includes(d.answer) || !d.answer.startsWith('HTTP ')),
  },
};

function row(cells) {
  return `| ${cells.join(' | ')} |`;
}

function report({ results: file, stop }) {
  const results = JSON.parse(readFileSync(file, 'utf8'));
  const lines = [];
  const cpu = os.cpus()[0]?.model ?? '?';
  lines.push(`Machine: ${os.availableParallelism()} processors, ${cpu}, kernel ${os.release()}; `
    + `load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
  lines.push(`${results.seconds} s per scenario, ${results.connections} connections where a scenario holds N; `
    + `the operator: POST /api/Performance {} with the token every ${OPERATOR_INTERVAL_MS} ms on a new connection, `
    + `${REQUEST_TIMEOUT_MS / 1000} s bound (a timeout counts ${REQUEST_TIMEOUT_MS / 1000} s in the latencies)`);
  if (results.warmUp) {
    lines.push(`Before the scenarios one operator request started the plug-in's collection thread: `
      + `${results.warmUp.outcome} in ${ms(results.warmUp.ms)} ms`);
  }
  lines.push(`Goal: the operator answered within ${GOAL_OPERATOR_MS} ms (p99 and max) with none failed, `
    + `server peak RSS under ${GOAL_RSS_MIB} MiB, a stop within ${GOAL_STOP_SECONDS} s with exit status 0; `
    + 'some scenarios ask more (the Goal column)');
  lines.push('');
  lines.push(row(['Scenario', 'Operator p50 / p99 / max ms', 'Operator failed', 'Peak RSS MiB', 'CPU s',
    'Threads / fds peak', 'What the hostile clients saw', 'Goal', 'Result']));
  lines.push(row(Array(9).fill('---')));
  const goal = `≤ ${GOAL_OPERATOR_MS} ms, 0 failed, < ${GOAL_RSS_MIB} MiB`;
  for (const s of results.scenarios) {
    if (s.skipped) {
      lines.push(row([s.name, '—', '—', '—', '—', '—', s.skipped, goal, 'no figure']));
      continue;
    }
    const o = s.operator;
    const peakMib = Math.max(s.peak.rssKb, s.peak.hwmKb) / 1024;
    const failed = o.failed === 0 ? '0' : `${o.failed} of ${o.requests} (${counts(failuresOf(o))})`;
    const own = OWN_GOALS[s.name];
    const pass = answeredInTime(o) && peakMib < GOAL_RSS_MIB && !s.gone && (!own || own.met(s.attack.data));
    const figures = [s.attack.text, listenQueueText(s.listenQueue), settleText(s.settle)].filter(Boolean).join('; ');
    lines.push(row([
      s.name,
      `${ms(o.p50)} / ${ms(o.p99)} / ${ms(o.max)}`,
      failed,
      `${peakMib.toFixed(1)}${s.peakReset ? '' : ' (since start)'}`,
      s.cpuSeconds === null ? '—' : s.cpuSeconds.toFixed(2),
      `${s.peak.threads} / ${s.peak.fds}`,
      figures + (s.gone ? '; THE SERVER ENDED' : ''),
      own ? `${goal}; ${own.text}` : goal,
      pass ? 'PASS' : 'FAIL',
    ]));
  }
  if (stop) {
    const pass = stop.status === '0' && stop.seconds <= GOAL_STOP_SECONDS;
    const what = stop.held ? `stop: SIGTERM with ${stop.held} slow-header connections held` : 'stop: SIGTERM after the scenarios';
    lines.push(row([what, '—', '—', '—', '—', '—',
      /^\d+$/.test(stop.status) ? `exit status ${stop.status} after ${stop.seconds.toFixed(2)} s`
        : `${stop.status} (${stop.seconds.toFixed(2)} s)`,
      `exit status 0 within ${GOAL_STOP_SECONDS} s`, pass ? 'PASS' : 'FAIL']));
  }
  lines.push('');
  lines.push('Peak RSS: the larger of VmHWM (reset at each scenario\'s start through clear_refs) and VmRSS '
    + `sampled every ${SAMPLE_INTERVAL_MS} ms; CPU: utime + stime over the scenario; threads and fds: `
    + `the most seen at once. Held connections: "closed after" counts from each one's connect. `
    + 'The listen queue\'s figures are the kernel\'s, for the whole machine (/proc/net/netstat). '
    + 'huge-headers: "written" is what the kernel took from the client, socket buffers included; '
    + '"read by the server" is that less both sockets\' queues (/proc/net/tcp), known when the '
    + 'writer was held back.');
  console.log(lines.join('\n'));
}

// ---------------------------------------------------------------------------------------------

async function main() {
  let config;
  try {
    config = options(process.argv.slice(2));
  } catch (error) {
    console.error(`hostile: ${error.message}`);
    process.exit(2);
  }
  if (config.command === 'check') return;
  if (config.command === 'report') {
    report(config);
    return;
  }
  if (config.command === 'hold') {
    await hold(config);
    process.exit(0);
  }
  try {
    await run(config);
  } catch (error) {
    console.error(`hostile: ${error.stack ?? error.message}`);
    process.exit(1);
  }
  process.exit(0); // sockets the server never closed must not keep the process
}

if (isMainThread) {
  main();
} else {
  probe(workerData).then((result) => parentPort.postMessage(result));
}
