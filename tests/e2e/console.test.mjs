// The console in headless Chromium against a real `dorn serve` on loopback, with the sample
// registry (sessions 3 and 4) and a copy of the protocol counter fixtures that tests change.
// DORN_SCREENSHOTS=1 writes the screenshots of docs/console/.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { mkdir, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { makeCounterFile } from './counter-file.mjs';
import { DORN, REPO, UNDER_WINE, sampleArgs, startServe } from './dorn-serve.mjs';
import { makeAgentDir, startSleeper, uniqueName } from './processes.mjs';

const CHROMIUM = process.env.CHROMIUM_BIN ?? '/usr/bin/chromium';
// Under Wine the plug-in is the one beside dorn.exe.
const PLUGIN_ARGS = UNDER_WINE ? [] : ['--plugin', path.join(path.dirname(DORN), 'libdorn_helpdesk.so')];
// The processes these tests start are Linux processes, which Wine's process table does not hold.
const LINUX_PROCESSES = UNDER_WINE && 'the test starts Linux processes; Wine lists its own only';
const COUNTER_FILES = UNDER_WINE && 'the protocol statistics come from counter files, which only the Linux build takes';
const SCREENSHOTS = process.env.DORN_SCREENSHOTS === '1' ? path.join(REPO, 'docs/console') : null;
const NOT_SIGNED_IN = 'Not signed in: open the address dorn serve printed';
const WAIT_MS = 20_000;
// A session whose client record holds markup: the page must show it as text.
const MARKUP = '<img src=x id=injected>';
const MARKUP_REG = `Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Zentavo\\Pallido\\SessionData\\7]
"KestlClient_Machine_Name"="${MARKUP}"
`;

let agent;
let counters;
let server;
let browser;
let context;
let page;
const sleepers = [];
const pageProblems = [];

before(async () => {
  agent = await makeAgentDir(DORN);
  const markupReg = path.join(agent.dir, 'markup.reg');
  await writeFile(markupReg, MARKUP_REG);
  counters = await makeCounterFile(agent.dir);
  server = await startServe({
    dorn: agent.dorn,
    args: [...sampleArgs(counters.path), '--registry', markupReg, ...PLUGIN_ARGS, '--perfmon-interval', '1'],
  });
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    // Chromium's sandbox refuses to start as root.
    args: process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  context = await browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US' });
  page = await context.newPage();
  page.on('pageerror', (error) => pageProblems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    if (/Content Security Policy/i.test(message.text())) pageProblems.push(message.text());
  });
  const response = await page.goto(server.loginUrl);
  assert.equal(response.status(), 200, 'the login link leads to the console');
});

after(async () => {
  await Promise.all(sleepers.map((sleeper) => sleeper.stop()));
  await browser?.close();
  if (server) await server.stop();
  await agent?.remove();
});

async function screenshot(name) {
  if (!SCREENSHOTS) return;
  await mkdir(SCREENSHOTS, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOTS, `${name}.png`) });
}

async function points(selector) {
  return Number(await page.locator(selector).getAttribute('data-points'));
}

async function waitForPoints(selector, atLeast) {
  await page.waitForFunction(([s, n]) => Number(document.querySelector(s).dataset.points) >= n,
    [selector, atLeast], { timeout: WAIT_MS });
}

// Chromium keeps a headless page visible; the page is told otherwise as a browser would.
async function setHidden(hidden) {
  await page.evaluate((h) => {
    if (h) {
      Object.defineProperty(document, 'hidden', { configurable: true, get: () => true });
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
    } else {
      delete document.hidden;
      delete document.visibilityState;
    }
    document.dispatchEvent(new Event('visibilitychange'));
  }, hidden);
}

async function countRequests(suffix, ms) {
  let count = 0;
  const listener = (request) => { if (request.url().endsWith(suffix)) count += 1; };
  page.on('request', listener);
  await page.waitForTimeout(ms);
  page.off('request', listener);
  return count;
}

async function showTab(name) {
  await page.getByRole('tab', { name }).click();
}

function processRow(pid) {
  return page.locator(`#process-table tbody tr[data-pid="${pid}"]`);
}

async function findProcess(sleeper) {
  await page.getByLabel('Name contains').fill(sleeper.name);
  await processRow(sleeper.pid).waitFor({ timeout: WAIT_MS });
  return processRow(sleeper.pid);
}

async function startOwnSleeper(prefix) {
  const sleeper = await startSleeper(agent.dir, uniqueName(prefix));
  sleepers.push(sleeper);
  return sleeper;
}

async function sessionColumn() {
  return page.locator('#process-table tbody tr td:nth-child(3)').allTextContents();
}

// Chooses a session filter and waits until the table shows the list asked with it.
async function showFilter(filter) {
  await page.getByLabel('Show').selectOption(filter);
  await page.locator(`#process-table[data-filter="${filter}"]`).waitFor({ timeout: WAIT_MS });
}

// Every statistic of the fixtures as shown, in display order: [wire name, group, label, value
// as shown]. The plug-in truncates each value to an integer (an RTT of 12.7 ms is 12).
const VEXEL_STATISTICS = [
  ['session_rtt', 'network', 'Round trip', '12 ms'],
  ['session_packet_loss_uplink', 'network', 'Packet loss (uplink)', '0 %'],
  ['session_bandwidth_uplink', 'network', 'Estimated bandwidth (uplink)', '85.0 Mbit/s'],
  ['session_inst_transmit_bytes_udp', 'network', 'Sending now over UDP', '2.5 Mbit/s'],
  ['session_inst_recv_bytes_udp', 'network', 'Receiving now over UDP', '65 kbit/s'],
  ['session_inst_transmit_bytes_tcp', 'network', 'Sending now over TCP', '0 kbit/s'],
  ['session_inst_recv_bytes_tcp', 'network', 'Receiving now over TCP', '0 kbit/s'],
  ['session_transmit_bytes', 'network', 'Sent in all', '86 MiB'],
  ['image_frames_per_second', 'display', 'Frame rate', '29 fps'],
  ['image_encode_type', 'display', 'Encoder', 'NVIDIA NvEnc H264 4:2:0'],
  ['image_transmit_bytes', 'display', 'Imaging sent', '84 MiB'],
  ['image_recv_bytes', 'display', 'Imaging received', '51 KiB'],
  ['audio_transmit_bytes', 'audio', 'Audio sent', '1.2 MiB'],
  ['audio_recv_bytes', 'audio', 'Audio received', '47 KiB'],
  ['cdr_transmit_bytes', 'devices', 'Client drives sent', '4.0 KiB'],
  ['cdr_recv_bytes', 'devices', 'Client drives received', '1.0 KiB'],
];
const PCOIP_STATISTICS = [
  ['net_rtl', 'network', 'Round trip', '41 ms'],
  ['net_rx_packets_loss', 'network', 'Packet loss, received', '0 %'],
  ['net_tx_packets_loss', 'network', 'Packet loss, sent', '0 %'],
  ['net_txbw_rate', 'network', 'Bandwidth sent', '4.2 Mbit/s'],
  ['net_rxbw_rate', 'network', 'Bandwidth received', '120 kbit/s'],
  ['net_rxbw_peek_rate', 'network', 'Peak bandwidth received', '900 kbit/s'],
  ['net_txbw_active_limit_rate', 'network', 'Active limit of bandwidth sent', '90.0 Mbit/s'],
  ['net_txbw_limit_rate', 'network', 'Limit of bandwidth sent', '90.0 Mbit/s'],
  ['general_duration', 'network', 'Session duration', '1 h 0 min 5 s'],
  ['general_sent_bytes', 'network', 'Sent in all', '93 MiB'],
  ['general_recv_bytes', 'network', 'Received in all', '1.1 MiB'],
  ['general_sent_packets', 'network', 'Packets sent', '120,456'],
  ['general_recv_packets', 'network', 'Packets received', '40,123'],
  ['general_tx_packets_lost', 'network', 'Packets lost, sent', '17'],
  ['general_rx_packets_lost', 'network', 'Packets lost, received', '3'],
  ['img_encoded_frames', 'display', 'Encoded frame rate', '24 fps'],
  ['img_txbw_rate', 'display', 'Imaging bandwidth sent', '3.9 Mbit/s'],
  ['img_rxbw_rate', 'display', 'Imaging bandwidth received', '1 kbit/s'],
  ['img_sent_bytes', 'display', 'Imaging sent', '87 MiB'],
  ['img_recv_bytes', 'display', 'Imaging received', '2.2 KiB'],
  ['img_megapixel', 'display', 'Pixel rate', '18 MP/s'],
  ['img_min_quality', 'display', 'Active minimum quality', '40'],
  ['img_decoder_capability', 'display', 'Decoder capability', '200 Mbit/s'],
  ['img_svgadevtap', 'display', 'Virtual display frame rate', '0 fps'],
  ['img_nack', 'display', 'Negative acknowledgements', '2'],
  ['img_apex2800', 'display', 'Hardware offload', '0'],
  ['audio_txbw_rate', 'audio', 'Audio bandwidth sent', '64 kbit/s'],
  ['audio_rxbw_rate', 'audio', 'Audio bandwidth received', '0 kbit/s'],
  ['audio_txbw_limit_rate', 'audio', 'Limit of audio bandwidth sent', '1.6 Mbit/s'],
  ['audio_sent_bytes', 'audio', 'Audio sent', '322 KiB'],
  ['audio_recv_bytes', 'audio', 'Audio received', '0 B'],
  ['usb_txbw_rate', 'devices', 'USB bandwidth sent', '0 kbit/s'],
  ['usb_rxbw_rate', 'devices', 'USB bandwidth received', '0 kbit/s'],
  ['usb_sent_bytes', 'devices', 'USB sent', '0 B'],
  ['usb_recv_bytes', 'devices', 'USB received', '0 B'],
];

const GROUP_HEADINGS = ['Network', 'Display', 'Audio', 'Devices'];

// The protocol statistics on screen in order, each row by its wire name (its title, shown on
// hover) under its group's heading.
async function statistics() {
  return page.locator('#protocol-stats tr').evaluateAll((rows) => rows.map((r) => [
    r.title, r.closest('table').dataset.group, r.querySelector('th').textContent, r.querySelector('td.value').textContent,
  ]));
}

function pickerOption(sessionId) {
  return page.locator(`#session option[value="${sessionId}"]`);
}

test('a request without the token is refused, and the page says how to sign in', { timeout: 60_000 }, async () => {
  const page401 = await fetch(`${server.origin}/`);
  assert.equal(page401.status, 401);
  assert.equal(page401.headers.get('www-authenticate'), 'Bearer');
  const api401 = await fetch(`${server.origin}/api/Performance`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"type": 1}',
  });
  assert.equal(api401.status, 401);
  assert.deepEqual(await api401.json(), { error: 'a valid token is required' });
  const wrong = await fetch(`${server.origin}/api/sessions`, { headers: { Authorization: `Bearer ${'0'.repeat(64)}` } });
  assert.equal(wrong.status, 401);
  const right = await fetch(`${server.origin}/api/sessions`, { headers: { Authorization: `Bearer ${server.token}` } });
  assert.equal(right.status, 200, 'the same request with the token is answered');

  // A browser without the cookie gets nothing of the console.
  const stranger = await browser.newContext();
  const strangerPage = await stranger.newPage();
  assert.equal((await strangerPage.goto(`${server.origin}/`)).status(), 401);
  await stranger.close();

  // The open console loses its cookie: the next poll is refused and the banner says so;
  // signing in again clears it.
  const banner = page.locator('#banner');
  await context.clearCookies();
  await banner.getByText(NOT_SIGNED_IN, { exact: true }).waitFor({ timeout: WAIT_MS });
  await page.goto(server.loginUrl);
  await page.waitForFunction(() => document.querySelector('#banner').hidden, null, { timeout: WAIT_MS });
});

test('the machine charts get new points each second, the history chart fills', { timeout: 60_000 }, async () => {
  await showTab('Overview');
  // Wine's PDH has no "PhysicalDisk" counters: there the plug-in reports no disk figures.
  const charts = ['#chart-cpu', '#chart-mem', ...(UNDER_WINE ? [] : ['#chart-disk'])];
  for (const chart of charts) await waitForPoints(chart, 1);
  const before = await Promise.all(charts.map(points));
  await page.waitForTimeout(3500);
  const later = await Promise.all(charts.map(points));
  charts.forEach((chart, i) => {
    assert.ok(later[i] >= before[i] + 2, `${chart}: ${before[i]} points, 3.5 s later ${later[i]}`);
  });
  const cpu = await page.locator('#chart-cpu output').textContent();
  assert.match(cpu, /^\d+ %$/);
  assert.equal(await page.locator('#chart-cpu path.line').count(), 1);

  // One poll a second, none while the tab is hidden, and again once it is shown.
  const visiblePolls = await countRequests('/api/Performance', 4000);
  assert.ok(visiblePolls >= 3 && visiblePolls <= 5, `${visiblePolls} polls in 4 s`);
  await setHidden(true);
  try {
    await page.waitForTimeout(1500); // a poll already on its way may still be answered
    assert.equal(await countRequests('/api/Performance', 3000), 0, 'no poll while hidden');
  } finally {
    await setHidden(false);
  }
  assert.ok(await countRequests('/api/Performance', 2500) >= 2, 'polling resumes when shown');

  // The performance monitor pushes every second; the history is asked for every 5 s.
  await waitForPoints('#chart-history', 2);
  assert.match(await page.locator('#chart-history .series-0 output').textContent(), /^\d+ %$/);
});

test('the process table lists a started process, sorts and filters by session', { timeout: 90_000, skip: LINUX_PROCESSES }, async () => {
  const sleeper = await startOwnSleeper('e2e-list-');
  await showTab('Processes');
  const row = await findProcess(sleeper);
  assert.equal(await row.locator('td').first().textContent(), sleeper.name);
  const ownSession = (await row.locator('td:nth-child(3)').textContent()).trim();

  await page.getByLabel('Name contains').fill('');
  const pidHeader = page.locator('th[data-key="id"]');
  await pidHeader.getByRole('button').click();
  assert.equal(await pidHeader.getAttribute('aria-sort'), 'descending');
  const pids = (await page.locator('#process-table tbody tr').evaluateAll(
    (rows) => rows.map((r) => Number(r.dataset.pid))));
  assert.ok(pids.length > 1);
  assert.deepEqual(pids, [...pids].sort((a, b) => b - a));
  const cpuHeader = page.locator('th[data-key="cpu"]');
  await cpuHeader.getByRole('button').click();
  assert.equal(await cpuHeader.getAttribute('aria-sort'), 'ascending');
  assert.equal(await pidHeader.getAttribute('aria-sort'), 'none');
  await cpuHeader.getByRole('button').click();
  await screenshot('processes');

  // The plug-in's two session filters, for session 3 of the sample registry.
  await page.getByLabel('Session', { exact: true }).selectOption('3');
  await showFilter('CURRENT_USER_SESSION');
  for (const session of await sessionColumn()) assert.equal(session, '3');
  assert.equal(await processRow(sleeper.pid).count(), ownSession === '3' ? 1 : 0);
  await showFilter('SYSTEM_AND_CURRENT_USER_SESSION');
  const sessions = await sessionColumn();
  assert.ok(sessions.length > 0, 'session 0 has processes');
  for (const session of sessions) assert.ok(session === '0' || session === '3', `session ${session}`);
  assert.equal(await processRow(sleeper.pid).count(), ['0', '3'].includes(ownSession) ? 1 : 0);
  await showFilter('');
  await findProcess(sleeper);
});

test('"End process" asks first, then ends the process', { timeout: 60_000, skip: LINUX_PROCESSES }, async () => {
  const sleeper = await startOwnSleeper('e2e-end-');
  await showTab('Processes');
  const row = await findProcess(sleeper);
  const dialog = page.locator('#end-dialog');

  await row.getByRole('button', { name: `End process ${sleeper.name} (PID ${sleeper.pid})` }).click();
  assert.ok(await dialog.evaluate((d) => d.open));
  assert.match(await dialog.textContent(), new RegExp(`${sleeper.name} \\(PID ${sleeper.pid}\\)`));
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  assert.equal(await dialog.evaluate((d) => d.open), false);
  await page.waitForTimeout(1500);
  assert.ok(sleeper.alive(), 'cancelling leaves the process running');

  await row.getByRole('button', { name: /^End process/ }).click();
  await dialog.getByRole('button', { name: 'End process' }).click();
  await page.locator('#process-message').getByText(`Ended ${sleeper.name} (PID ${sleeper.pid}).`).waitFor({ timeout: WAIT_MS });
  assert.equal(await sleeper.exited, 'SIGKILL');
  assert.equal(existsSync(`/proc/${sleeper.pid}`), false, 'the process is gone');
  await page.waitForTimeout(2500); // two more polls
  assert.equal(await processRow(sleeper.pid).count(), 0, 'the table no longer lists it');
});

test('a protected process shows the plug-in\'s refusal', { timeout: 60_000, skip: LINUX_PROCESSES }, async () => {
  // An agent executable: a process whose image lies beside the host's executable under one of
  // the agent's names (on Linux without the Windows suffix).
  const sleeper = await startSleeper(agent.dir, 'sarn');
  sleepers.push(sleeper);
  await showTab('Processes');
  const row = await findProcess(sleeper);
  assert.equal(await page.locator('#process-table .refusal').count(), 0, 'nothing is marked before a refusal');
  await row.getByRole('button', { name: /^End process/ }).click();
  await page.locator('#end-dialog').getByRole('button', { name: 'End process' }).click();
  await page.locator('#process-error')
    .getByText(`Cannot end sarn (PID ${sleeper.pid}): not allowed`, { exact: true })
    .waitFor({ timeout: WAIT_MS });
  const refusal = processRow(sleeper.pid).locator('.refusal');
  await refusal.getByText('⊘ Refused: not allowed', { exact: true }).waitFor({ timeout: WAIT_MS });
  assert.ok(sleeper.alive(), 'the protected process still runs');

  // The table renews from the next polls; the row keeps its refusal, and only that row.
  const table = page.locator('#process-table');
  const updates = Number(await table.getAttribute('data-updates'));
  await page.waitForFunction((n) => Number(document.querySelector('#process-table').dataset.updates) >= n,
    updates + 2, { timeout: WAIT_MS });
  assert.equal(await refusal.textContent(), '⊘ Refused: not allowed');
  assert.equal(await page.locator('#process-table .refusal').count(), 1);
  assert.equal(await processRow(sleeper.pid).getAttribute('class'), 'refused');
  await screenshot('process-refused');
});

test('the session details show the registry\'s client record and the protocol statistics', {
  timeout: 120_000,
  skip: COUNTER_FILES,
}, async () => {
  await page.getByLabel('Session', { exact: true }).selectOption('3');
  await showTab('Session details');
  const client = page.locator('#client-info');
  await client.locator('tr[data-key="broker_dns_name"] td').getByText('broker01.corp.example', { exact: true }).waitFor({ timeout: WAIT_MS });
  const values = Object.fromEntries(await client.locator('tr').evaluateAll(
    (rows) => rows.map((r) => [r.dataset.key, r.querySelector('td').textContent])));
  assert.equal(values.ipaddr, '192.0.2.15');
  assert.equal(values.machine_name, 'ALICE-LAPTOP');
  assert.equal(values.timezone, 'W. Europe Standard Time');
  assert.equal(values.protocol, 'VEXEL');
  await page.locator('#logon-text').getByText('logon=4211ms;gpo=1210ms;profile=2030ms;shell=971ms').waitFor();
  await page.locator('#topology').getByText('2 monitors: 1920x1080@96 primary, 1920x1080@96 right').waitFor();
  const encoder = page.locator('#protocol-stats tr[data-key="image_encode_type"] td.value');
  await encoder.getByText('NVIDIA NvEnc H264 4:2:0', { exact: true }).waitFor({ timeout: WAIT_MS });
  assert.equal(await page.locator('#protocol-name').textContent(), 'Vexel');
  assert.deepEqual(await statistics(), VEXEL_STATISTICS);
  assert.deepEqual(await page.locator('#protocol-stats h3').allTextContents(), GROUP_HEADINGS);
  await page.locator('#session-health[data-state="ok"]').waitFor({ timeout: WAIT_MS });
  assert.equal(await page.locator('#health-state').textContent(), '✓ OK');

  // The picker judges the sessions not shown live in rounds of their own.
  await page.waitForFunction(() => document.querySelector('#session option[value="4"]').textContent.endsWith(' — ✓ OK'),
    null, { timeout: WAIT_MS });
  assert.equal(await pickerOption(3).getAttribute('data-health'), 'ok');

  // Session 4: a partial record, no topology (the plug-in's error text), PCoIP statistics.
  await page.getByLabel('Session', { exact: true }).selectOption('4');
  await page.locator('#client-info tr[data-key="ipaddr"] td').getByText('203.0.113.80').waitFor({ timeout: WAIT_MS });
  await page.locator('#topology-error').getByText('failed to get vexel telemetry', { exact: true }).waitFor({ timeout: WAIT_MS });
  await page.locator('#protocol-stats tr[data-key="net_rtl"]').waitFor({ timeout: WAIT_MS });
  assert.equal(await page.locator('#protocol-name').textContent(), 'PCoIP');
  assert.deepEqual(await statistics(), PCOIP_STATISTICS);
  assert.deepEqual(await page.locator('#protocol-stats h3').allTextContents(), GROUP_HEADINGS);
  assert.equal(await page.locator('#client-info tr[data-key="broker_dns_name"]').count(), 0);

  // Text from the plug-in is never taken for markup.
  await page.getByLabel('Session', { exact: true }).selectOption('7');
  await page.locator('#client-info tr[data-key="machine_name"] td').getByText(MARKUP, { exact: true }).waitFor({ timeout: WAIT_MS });
  assert.equal(await page.locator('#injected').count(), 0);

  if (SCREENSHOTS) {
    // By now the charts hold half a minute of samples.
    await page.getByLabel('Session', { exact: true }).selectOption('3');
    await showTab('Overview');
    await waitForPoints('#chart-cpu', 30);
    await waitForPoints('#chart-history', 5);
    await screenshot('overview');
  }
});

// Steps of the sessions' counters, each crossing into another state: [session, counter object,
// counter, value, wire name of the judged row, state, the figure's line]. A step without a
// wire name stops the session sending: its frame rate is then not judged at all.
const VEXEL_SESSION = 'Pallido Vexel Session Counters';
const VEXEL_IMAGING = 'Pallido Vexel Imaging Counters';
const PCOIP_NETWORK = 'PCoIP Session Network Statistics';
const PCOIP_IMAGING = 'PCoIP Session Imaging Statistics';
const CROSSINGS = [
  [3, VEXEL_SESSION, 'RTT', 160, 'session_rtt', 'warning', '⚠ Round trip 160 ms: above 150 ms'],
  [3, VEXEL_SESSION, 'RTT', 400, 'session_rtt', 'bad', '✕ Round trip 400 ms: above 300 ms'],
  [3, VEXEL_SESSION, 'RTT', 300, 'session_rtt', 'warning', '⚠ Round trip 300 ms: above 150 ms'],
  [3, VEXEL_SESSION, 'RTT', 150, 'session_rtt', 'ok', '✓ Round trip 150 ms'],
  [3, VEXEL_SESSION, 'Packet Loss (Uplink)', 3, 'session_packet_loss_uplink', 'warning', '⚠ Packet loss 3 %: above 2 %'],
  [3, VEXEL_SESSION, 'Packet Loss (Uplink)', 2, 'session_packet_loss_uplink', 'ok', '✓ Packet loss 2 %'],
  [3, VEXEL_IMAGING, 'Frames per second', 9, 'image_frames_per_second', 'warning', '⚠ Frame rate 9 fps: below 10 fps'],
  [3, VEXEL_IMAGING, 'Frames per second', 4, 'image_frames_per_second', 'bad', '✕ Frame rate 4 fps: below 5 fps'],
  [3, VEXEL_SESSION, 'Instantaneous Transmitted Bytes over UDP', 0, null, 'ok', null],
  [4, PCOIP_NETWORK, 'TX Packet Loss %', 3, 'net_tx_packets_loss', 'warning', '⚠ Packet loss 3 %: above 2 %'],
  [4, PCOIP_NETWORK, 'RX Packet Loss %', 6, 'net_rx_packets_loss', 'bad', '✕ Packet loss 6 %: above 5 %'],
  [4, PCOIP_NETWORK, 'RX Packet Loss %', 0, 'net_tx_packets_loss', 'warning', '⚠ Packet loss 3 %: above 2 %'],
  [4, PCOIP_NETWORK, 'TX Packet Loss %', 0, 'net_rx_packets_loss', 'ok', '✓ Packet loss 0 %'],
  [4, PCOIP_IMAGING, 'Imaging Encoded Frames/sec', 4, 'img_encoded_frames', 'bad', '✕ Frame rate 4 fps: below 5 fps'],
  [4, PCOIP_IMAGING, 'Imaging TX BW kbit/sec', 0, null, 'ok', null],
  [4, PCOIP_NETWORK, 'Round Trip Latency ms', 301, 'net_rtl', 'bad', '✕ Round trip 301 ms: above 300 ms'],
];
const SHOWN_STATES = { ok: '✓ OK', warning: '⚠ Warning', bad: '✕ Bad' };

async function chooseSession(sessionId) {
  await page.getByLabel('Session', { exact: true }).selectOption(String(sessionId));
}

// Waits for the session's health to turn to `state`, then checks it everywhere it shows.
async function assertHealth([sessionId, , counter, value, wireName, state, line]) {
  const step = `${counter} ${value}`;
  const shown = SHOWN_STATES[state];
  const health = page.locator('#session-health');
  await page.locator(`#session-health[data-state="${state}"]`).waitFor({ timeout: WAIT_MS });
  assert.equal(await page.locator('#health-state').textContent(), shown, step);
  assert.ok((await pickerOption(sessionId).textContent()).endsWith(` — ${shown}`), step);
  if (wireName === null) {
    assert.equal(await health.locator('li[data-figure="frameRate"]').count(), 0, step);
    return;
  }
  assert.ok((await health.locator('li').allTextContents()).includes(line), step);
  const row = page.locator(`#protocol-stats tr[data-key="${wireName}"]`);
  assert.equal(await row.getAttribute('data-state'), state, step);
  assert.equal(await row.locator('td.state').textContent(), shown, step);
}

test('the live charts follow a changing counter file, and the health turns as figures cross their limits', { timeout: 300_000, skip: COUNTER_FILES }, async () => {
  await chooseSession(3);
  // The tab list by keyboard: End selects the last tab.
  await page.getByRole('tab', { selected: true }).focus();
  await page.keyboard.press('End');
  assert.equal(await page.getByRole('tab', { name: 'Session details' }).getAttribute('aria-selected'), 'true');
  const roundTrip = page.locator('#chart-rtt output');
  await roundTrip.getByText('12 ms', { exact: true }).waitFor({ timeout: WAIT_MS });
  const before = await points('#chart-rtt');
  try {
    await counters.setCounter(VEXEL_SESSION, 'RTT', 80);
    await roundTrip.getByText('80 ms', { exact: true }).waitFor({ timeout: WAIT_MS });
    for (const chart of ['#chart-rtt', '#chart-bandwidth', '#chart-fps', '#chart-loss']) {
      assert.ok(await points(chart) > before, `${chart} gained points`);
    }
    assert.equal(await page.locator('#chart-bandwidth .series-0 output').textContent(), '2.5 Mbit/s');

    let shownSession = 3;
    for (const crossing of CROSSINGS) {
      const [sessionId, object, counter, value] = crossing;
      if (sessionId !== shownSession) await chooseSession(sessionId);
      shownSession = sessionId;
      await counters.setCounter(object, counter, value);
      await assertHealth(crossing);
      if (counter === 'RTT' && value === 160) await screenshot('session');
    }

    // Bandwidth reads in kbit/s below 1000 kbit/s, in Mbit/s from there.
    const down = page.locator('#chart-bandwidth .series-0 output');
    for (const [kbit, shown] of [[999, '999 kbit/s'], [1000, '1.0 Mbit/s']]) {
      await counters.setCounter(PCOIP_NETWORK, 'TX BW kbit/sec', kbit);
      await down.getByText(shown, { exact: true }).waitFor({ timeout: WAIT_MS });
    }
  } finally {
    await counters.reset();
  }
});

test('the page broke no rule of the content security policy and threw nothing', () => {
  assert.deepEqual(pageProblems, []);
});

test('dorn serve ends with exit code 0 on SIGTERM', async () => {
  const stopping = server;
  server = null;
  assert.equal(await stopping.stop(), 0, stopping.output.stderr);
});
