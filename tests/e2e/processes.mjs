// Processes the browser tests start and end: copies of `sleep` under names of their own, so
// that the console's table can be searched for them and nothing else is ever ended.
import { spawn } from 'node:child_process';
import { copyFile, mkdtemp, realpath, rm } from 'node:fs/promises';
import { existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

// A directory that stands in for the agent's installation: a copy of dorn, so that the
// plug-in's list of agent executables (those beside the host's executable) points here.
export async function makeAgentDir(dorn) {
  const dir = await mkdtemp(path.join(tmpdir(), 'dorn-agent-'));
  const copy = path.join(dir, 'dorn');
  await copyFile(dorn, copy);
  return { dir, dorn: copy, remove: () => rm(dir, { recursive: true, force: true }) };
}

// Starts `sleep 600` as `dir/name`. The name stays within 15 characters, the kernel's limit
// for a process's short name, so no tool shows it cut.
export async function startSleeper(dir, name) {
  const image = path.join(dir, name);
  await copyFile(await realpath('/bin/sleep'), image);
  const child = spawn(image, ['600'], { stdio: 'ignore' });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve(signal ?? code)));
  await new Promise((resolve, reject) => {
    child.once('spawn', resolve);
    child.once('error', reject);
  });
  return {
    pid: child.pid,
    name,
    exited,
    alive: () => child.exitCode === null && child.signalCode === null && existsSync(`/proc/${child.pid}`),
    stop: async () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      await exited;
    },
  };
}

export function uniqueName(prefix) {
  return `${prefix}${process.pid.toString(36)}${Math.floor(Math.random() * 36 ** 3).toString(36)}`.slice(0, 15);
}
