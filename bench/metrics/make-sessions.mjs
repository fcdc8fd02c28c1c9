// Writes a machine of N remote sessions for the scrape benchmark, from the fixtures' two: odd
// ids are copies of session 3 (Vexel), even ones of session 4 (PCoIP), each with its session
// data (.reg), its protocol counters and its login session.
//   node make-sessions.mjs DIRECTORY N FIRST_ID
import { readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [directory, countText, firstText] = process.argv.slice(2);
const count = Number(countText);
const first = Number(firstText);
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const registry = readFileSync(path.join(repo, 'samples/sessions.reg'), 'utf8');
const counters = JSON.parse(readFileSync(path.join(repo, 'tests/fixtures/counters/protocol-counters.json'), 'utf8'));

// The .reg blocks of one session: every key whose path ends in \ID.
function blocksOf(id) {
  return registry.split(/\r?\n(?=\[)/).filter((block) => block.startsWith('[') &&
    block.slice(0, block.indexOf(']')).endsWith(`\\${id}`));
}

const ids = Array.from({ length: count }, (_, i) => first + i);
const template = (id) => (id % 2 === 1 ? 3 : 4);
const renamed = (text, from, to) => text.replaceAll(`\\${from}]`, `\\${to}]`)
  .replaceAll(`Session ID: ${from};`, `Session ID: ${to};`)
  .replaceAll(`PCoIP Session ${from} `, `PCoIP Session ${to} `);

const reg = ['Windows Registry Editor Version 5.00', ''];
for (const id of ids) {
  for (const block of blocksOf(template(id))) reg.push(renamed(block, template(id), id).trimEnd(), '');
}
writeFileSync(path.join(directory, 'sessions.reg'), reg.join('\r\n'));

for (const object of counters.objects) {
  const instances = {};
  for (const [name, values] of Object.entries(object.instances)) {
    const from = name.includes('Session ID: 3;') ? 3 : 4;
    for (const id of ids.filter((i) => template(i) === from)) {
      instances[renamed(name, from, id).replace(' bob', ` user${id}`)] = values;
    }
  }
  object.instances = instances;
}
writeFileSync(path.join(directory, 'counters.json'), JSON.stringify(counters));

const sessions = ids.map((id) => ({ id, user: `user${id}`, state: 'active', station: `RDP-Tcp#${id}` }));
writeFileSync(path.join(directory, 'sessions.json'), JSON.stringify({ sessions }));
