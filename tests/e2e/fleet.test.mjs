// A real Prometheus scrapes two `dorn serve` agents, one over plain HTTP on loopback and one over
// HTTPS with a certificate made here, both through file-based discovery and the agents' token;
// a third target carries a wrong token. The series are checked through Prometheus's query API.
//   PROMETHEUS_BIN (default /usr/bin/prometheus), DORN_BIN as for the console's tests.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtemp, rm, writeFile } from 'node:fs/promises';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { REPO, sampleArgs, startServe } from './dorn-serve.mjs';

const PROMETHEUS = process.env.PROMETHEUS_BIN ?? '/usr/bin/prometheus';
const WAIT_MS = 90_000;

let work;
let plain;
let secure;
let prometheus;
let prometheusUrl;

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function waitFor(what, probe) {
  const end = Date.now() + WAIT_MS;
  let last;
  while (Date.now() < end) {
    try {
      last = await probe();
      if (last) return last;
    } catch (error) {
      last = error;
    }
    await new Promise((resolve) => setTimeout(resolve, 250));
  }
  throw new Error(`${what}: not within ${WAIT_MS} ms (last: ${last})`);
}

async function query(expression) {
  const url = `${prometheusUrl}/api/v1/query?query=${encodeURIComponent(expression)}`;
  const answer = await (await fetch(url)).json();
  assert.equal(answer.status, 'success', JSON.stringify(answer));
  return answer.data.result;
}

function makeCertificate(directory) {
  const cert = path.join(directory, 'agent.pem');
  const key = path.join(directory, 'agent.key');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
    '-nodes', '-days', '2', '-keyout', key, '-out', cert, '-subj', '/CN=127.0.0.1',
    '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'ignore' });
  return { cert, key };
}

before(async () => {
  work = await mkdtemp(path.join(tmpdir(), 'dorn-fleet-'));
  const { cert, key } = makeCertificate(work);
  const tokenFile = path.join(work, 'token');
  const agentArgs = [...sampleArgs(), '--token-file', tokenFile, '--metrics-interval', '1'];
  plain = await startServe({ args: agentArgs });
  secure = await startServe({ args: [...agentArgs, '--tls-cert', cert, '--tls-key', key] });
  await writeFile(path.join(work, 'wrong-token'), '0'.repeat(64));

  const targets = [
    { targets: [new URL(plain.origin).host], labels: { site: 'loopback' } },
    { targets: [new URL(secure.origin).host], labels: { site: 'loopback', __scheme__: 'https' } },
  ];
  await writeFile(path.join(work, 'targets.json'), JSON.stringify(targets));
  await writeFile(path.join(work, 'prometheus.yml'), `
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: [${JSON.stringify(path.join(REPO, 'fleet/dorn-rules.yml'))}]
scrape_configs:
  - job_name: dorn
    authorization: {type: Bearer, credentials_file: ${JSON.stringify(tokenFile)}}
    tls_config: {ca_file: ${JSON.stringify(cert)}}
    file_sd_configs: [{files: [${JSON.stringify(path.join(work, 'targets.json'))}]}]
  - job_name: dorn-wrong-token
    authorization: {type: Bearer, credentials_file: ${JSON.stringify(path.join(work, 'wrong-token'))}}
    static_configs: [{targets: [${JSON.stringify(new URL(plain.origin).host)}]}]
`);
  const port = await freePort();
  prometheusUrl = `http://127.0.0.1:${port}`;
  prometheus = spawn(PROMETHEUS, [`--config.file=${path.join(work, 'prometheus.yml')}`,
    `--storage.tsdb.path=${path.join(work, 'data')}`, `--web.listen-address=127.0.0.1:${port}`],
  { stdio: ['ignore', 'ignore', 'pipe'] });
  prometheus.log = '';
  prometheus.stderr.on('data', (chunk) => { prometheus.log += chunk; });
  // Two scrapes of each agent, the second after a background sample of the sessions.
  await waitFor('two scrapes of both agents with their sessions', async () => {
    const scrapes = await query('count_over_time(up{job="dorn"}[5m]) >= 2');
    const sessions = await query('count by (instance) (dorn_session_info)');
    return scrapes.length === 2 && sessions.length === 2;
  });
});

after(async () => {
  prometheus?.kill('SIGTERM');
  const stopped = await Promise.all([plain?.stop(), secure?.stop()]);
  assert.deepEqual(stopped, [0, 0]);
  if (work) await rm(work, { recursive: true, force: true });
});

test('both agents are up, the one with the wrong token is down', async () => {
  const up = await query('up');
  const byJob = Object.fromEntries(up.map((s) => [`${s.metric.job} ${s.metric.instance}`, s.value[1]]));
  assert.equal(byJob[`dorn ${new URL(plain.origin).host}`], '1', prometheus.log);
  assert.equal(byJob[`dorn ${new URL(secure.origin).host}`], '1', prometheus.log);
  assert.equal(byJob[`dorn-wrong-token ${new URL(plain.origin).host}`], '0');
  const targets = await (await fetch(`${prometheusUrl}/api/v1/targets`)).json();
  const wrong = targets.data.activeTargets.find((t) => t.labels.job === 'dorn-wrong-token');
  assert.match(wrong.lastError, /401/);
});

test('the machine series of both agents are ratios', async () => {
  for (const family of ['dorn_machine_processor_busy_ratio', 'dorn_machine_memory_used_ratio']) {
    const series = await query(`${family}{job="dorn"}`);
    assert.equal(series.length, 2, family);
    for (const sample of series) {
      const value = Number(sample.value[1]);
      assert.ok(value >= 0 && value <= 1, `${family} ${value}`);
      assert.equal(sample.metric.site, 'loopback');
    }
  }
});

test("a session's protocol series carry the fixture's values and labels", async () => {
  const [info] = await query(`dorn_session_info{job="dorn",instance="${new URL(secure.origin).host}",session_id="3"}`);
  assert.ok(info, 'session 3 is listed');
  assert.equal(info.metric.user, 'alice');
  assert.equal(info.metric.protocol, 'vexel');
  // The fixture's "RTT" 12.7 ms (the plug-in gives whole milliseconds) and "Round Trip Latency
  // ms" 41.
  const [rtt] = await query(`dorn_session_round_trip_seconds{job="dorn",session_id="3",instance="${new URL(secure.origin).host}"}`);
  assert.equal(rtt.metric.protocol, 'vexel');
  assert.equal(Number(rtt.value[1]), 0.012);
  const [pcoip] = await query(`dorn_session_round_trip_seconds{job="dorn",session_id="4",instance="${new URL(plain.origin).host}"}`);
  assert.equal(pcoip.metric.protocol, 'pcoip');
  assert.equal(Number(pcoip.value[1]), 0.041);
  const recorded = await waitFor('the recording rule', async () => {
    const series = await query('session:dorn_session_round_trip_seconds:avg2m{session_id="3"}');
    return series.length === 2 ? series : null;
  });
  assert.ok(recorded.every((s) => s.metric.user === 'alice'));
});

test("the agents' own health is there", async () => {
  const requests = await query('sum by (instance) (dorn_plugin_requests_total{job="dorn"})');
  assert.equal(requests.length, 2);
  assert.ok(requests.every((s) => Number(s.value[1]) > 0));
  const histogram = await query('dorn_plugin_request_duration_seconds_bucket{job="dorn",le="+Inf"}');
  assert.ok(histogram.length > 0);
  const sampled = await query('time() - dorn_metrics_sample_timestamp_seconds{job="dorn"}');
  assert.equal(sampled.length, 2);
});
