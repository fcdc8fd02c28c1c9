// The session picker: the machine's sessions and those the registry knows, each with its
// health. The session shown in the details tab is judged by its own live poll; the others by
// a slow round of "ProtocolInfo", one session at a time.
import { callOpcode, getSessions } from './api.js';
import { stateLabel } from './health.js';
import { Poller } from './poller.js';
import { readProtocolReply } from './protocol-view.js';
import { byId } from './ui.js';

const SWEEP_MS = 20_000;

function sessionLabel(entry) {
  const details = [entry.user, entry.state].filter((part) => part);
  return `${entry.id}${entry.name ? ` ${entry.name}` : ''}${details.length ? ` (${details.join(', ')})` : ''}`;
}

export class SessionPicker {
  // onChoose(sessionId, label) hears each new choice; onError(text) a failed listing;
  // liveSession() names the session judged elsewhere (or null).
  constructor({ onChoose, onError, liveSession }) {
    this.onChoose = onChoose;
    this.onError = onError;
    this.liveSession = liveSession;
    this.select = byId('session');
    this.sessions = [];
    this.health = new Map(); // session id → state
    this.announced = false;
    this.sweeper = new Poller(() => this.sweep(), SWEEP_MS);
    this.select.addEventListener('change', () => this.announce());
  }

  chosen() {
    return this.select.value === '' ? null : Number(this.select.value);
  }

  // The chosen session's label without its health, for headings.
  chosenLabel() {
    const entry = this.sessions.find((s) => s.id === this.chosen());
    return entry ? sessionLabel(entry) : '';
  }

  announce() {
    this.onChoose(this.chosen(), this.chosenLabel());
  }

  // Keeps the chosen session when it still exists; otherwise picks the first active one.
  async load() {
    const previous = this.select.value;
    try {
      this.sessions = await getSessions();
    } catch (error) {
      if (error.status !== 401) this.onError(`Sessions cannot be listed: ${error.message}`);
      return;
    }
    this.select.replaceChildren(...this.options());
    const keep = this.sessions.find((entry) => String(entry.id) === previous)
      ?? this.sessions.find((entry) => entry.state === 'active') ?? this.sessions[0];
    this.select.value = keep ? String(keep.id) : '';
    if (this.select.value !== previous || !this.announced) this.announce();
    this.announced = true;
    this.sweeper.start();
  }

  options() {
    if (this.sessions.length === 0) return [new Option('No sessions', '')];
    return this.sessions.map((entry) => {
      const option = new Option('', String(entry.id));
      this.label(option, entry);
      return option;
    });
  }

  label(option, entry) {
    const state = this.health.get(entry.id);
    option.textContent = state ? `${sessionLabel(entry)} — ${stateLabel(state)}` : sessionLabel(entry);
    if (state) option.dataset.health = state;
  }

  setHealth(sessionId, state) {
    if (sessionId === null) return;
    this.health.set(sessionId, state);
    const entry = this.sessions.find((s) => s.id === sessionId);
    const option = [...this.select.options].find((o) => o.value === String(sessionId));
    if (entry && option) this.label(option, entry);
  }

  // One round over the sessions not polled live; each request waits for the previous one.
  async sweep() {
    for (const { id } of [...this.sessions]) {
      if (id === this.liveSession()) continue;
      const state = await this.judge(id);
      // The session may have become the live one meanwhile; its own poll is newer then.
      if (id !== this.liveSession()) this.setHealth(id, state);
    }
  }

  async judge(sessionId) {
    try {
      const answer = await callOpcode('ProtocolInfo', { SESSIONID: sessionId });
      return answer.result ? readProtocolReply(answer.reply).health.state : 'unknown';
    } catch {
      return 'unknown';
    }
  }
}
