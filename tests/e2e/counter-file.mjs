// A copy of the protocol counter fixture that a test changes while `dorn serve` reads it. Each
// change is written to a temporary name and renamed over the file, so that the reader sees
// the old content or the new one, never half a file.
import { readFile, rename, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { COUNTER_FIXTURE } from './dorn-serve.mjs';

export async function makeCounterFile(dir) {
  const original = await readFile(COUNTER_FIXTURE, 'utf8');
  const file = path.join(dir, 'protocol-counters.json');
  let objects;
  let version = 0;

  async function save() {
    version += 1;
    const temporary = `${file}.${version}.tmp`;
    await writeFile(temporary, JSON.stringify({ objects }));
    await rename(temporary, file);
  }

  // Sets one counter of every instance of a counter object.
  async function setCounter(objectName, counter, value) {
    const object = objects.find((o) => o.name === objectName);
    if (!object) throw new Error(`the counter fixture has no object ${objectName}`);
    for (const values of Object.values(object.instances)) values[counter] = value;
    await save();
  }

  async function reset() {
    objects = JSON.parse(original).objects;
    await save();
  }

  await reset();
  return { path: file, setCounter, reset };
}
