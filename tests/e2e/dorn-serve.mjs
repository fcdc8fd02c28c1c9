// Starts `dorn serve` on a free loopback port with a throwaway token file, waits for the line
// that names the console's address, and stops it again with SIGTERM.
import { spawn } from 'node:child_process';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

export const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const DORN = process.env.DORN_BIN ?? path.join(REPO, 'build/default/bin/dorn');
// dorn.exe under Wine (scripts/wine-dorn.sh): Wine's own processes, and no counter or
// sessions files, which only the Linux build takes.
export const UNDER_WINE = process.env.DORN_UNDER_WINE === '1';

const START_TIMEOUT_MS = 30_000;
const STOP_TIMEOUT_MS = 15_000;

export const COUNTER_FIXTURE = path.join(REPO, 'tests/fixtures/counters/protocol-counters.json');

// The sample registry and the protocol counter fixtures: sessions 3 (Vexel) and 4 (PCoIP).
// `counters` may name a copy of the counter fixture that a test changes.
export function sampleArgs(counters = COUNTER_FIXTURE) {
  return [
    '--registry', path.join(REPO, 'samples/sessions.reg'),
    ...(UNDER_WINE ? [] : [
      '--counters', counters,
      '--sessions', path.join(REPO, 'tests/fixtures/counters/sessions.json'),
    ]),
  ];
}

function waitForAddress(child, output) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`dorn serve printed no address in ${START_TIMEOUT_MS} ms:\n${output.stderr}`)), START_TIMEOUT_MS);
    createInterface({ input: child.stdout }).on('line', (line) => {
      output.stdout += `${line}\n`;
      const match = /console at (https?:\/\/\S+)/.exec(line);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      reject(new Error(`dorn serve ended before listening (${signal ?? code}):\n${output.stderr}`));
    });
  });
}

// Returns {loginUrl, origin, token, pid, output, stop()}; stop() resolves to the exit code
// (or the signal's name if it had to be killed).
export async function startServe({ dorn = DORN, args = [] } = {}) {
  const home = await mkdtemp(path.join(tmpdir(), 'dorn-e2e-'));
  const child = spawn(dorn, ['serve', '--port', '0', '--token-file', path.join(home, 'token'),
    '--console', process.env.DORN_CONSOLE_DIR ?? path.join(REPO, 'console'), ...args], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const output = { stdout: '', stderr: '' };
  child.stderr.on('data', (chunk) => { output.stderr += chunk; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve(signal ?? code)));
  let loginUrl;
  try {
    loginUrl = await waitForAddress(child, output);
  } catch (error) {
    child.kill('SIGKILL');
    await rm(home, { recursive: true, force: true });
    throw error;
  }
  const url = new URL(loginUrl);
  return {
    loginUrl,
    origin: url.origin,
    token: url.searchParams.get('token'),
    pid: child.pid,
    output,
    exited,
    async stop() {
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), STOP_TIMEOUT_MS);
      const result = await exited;
      clearTimeout(timer);
      await rm(home, { recursive: true, force: true });
      return result;
    },
  };
}
