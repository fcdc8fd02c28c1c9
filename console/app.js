// The console page: the session picker, the three views and the sign-in banner.
import { getSessions, onSignInChange, NOT_SIGNED_IN } from './api.js';
import { HistoryView, PerformanceFeed } from './overview.js';
import { ProcessView } from './processes.js';
import { SessionView } from './session.js';
import { byId, showText } from './ui.js';

const feed = new PerformanceFeed();
const history = new HistoryView();
const processes = new ProcessView(feed);
const session = new SessionView();

// Each view polls only while it is shown; the machine charts always run.
const VIEWS = {
  'tab-overview': history,
  'tab-processes': processes,
  'tab-session': session,
};

const banner = byId('banner');
onSignInChange((signedIn) => showText(banner, signedIn ? '' : NOT_SIGNED_IN));

function selectTab(tab) {
  for (const other of document.querySelectorAll('[role="tab"]')) {
    const selected = other === tab;
    other.setAttribute('aria-selected', String(selected));
    other.tabIndex = selected ? 0 : -1;
    byId(other.getAttribute('aria-controls')).hidden = !selected;
    if (!selected) VIEWS[other.id].hide();
  }
  VIEWS[tab.id].show();
}

function wireTabs() {
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  for (const tab of tabs) {
    tab.addEventListener('click', () => selectTab(tab));
    // Arrow keys move between tabs, as a tab list is expected to behave.
    tab.addEventListener('keydown', (event) => {
      const step = { ArrowRight: 1, ArrowLeft: -1 }[event.key];
      if (!step) return;
      const next = tabs[(tabs.indexOf(tab) + step + tabs.length) % tabs.length];
      next.focus();
      selectTab(next);
    });
  }
}

const picker = byId('session');

function sessionLabel(entry) {
  const details = [entry.user, entry.state].filter((part) => part);
  return `${entry.id}${entry.name ? ` ${entry.name}` : ''}${details.length ? ` (${details.join(', ')})` : ''}`;
}

function chosenSession() {
  return picker.value === '' ? null : Number(picker.value);
}

function announceSession() {
  const id = chosenSession();
  const label = picker.selectedOptions[0]?.textContent ?? '';
  history.setSession(id);
  processes.setSession(id);
  session.setSession(id, label);
}

let announced = false;

// Keeps the chosen session when it still exists; otherwise picks the first active one.
async function loadSessions() {
  const previous = picker.value;
  let sessions;
  try {
    sessions = await getSessions();
  } catch (error) {
    if (error.status !== 401) showText(banner, `Sessions cannot be listed: ${error.message}`);
    return;
  }
  const options = sessions.map((entry) => {
    const option = document.createElement('option');
    option.value = String(entry.id);
    option.textContent = sessionLabel(entry);
    return option;
  });
  if (options.length === 0) {
    const none = document.createElement('option');
    none.value = '';
    none.textContent = 'No sessions';
    options.push(none);
  }
  picker.replaceChildren(...options);
  const keep = sessions.find((entry) => String(entry.id) === previous)
    ?? sessions.find((entry) => entry.state === 'active') ?? sessions[0];
  picker.value = keep ? String(keep.id) : '';
  if (picker.value !== previous || !announced) announceSession();
  announced = true;
}

picker.addEventListener('change', announceSession);
byId('reload-sessions').addEventListener('click', loadSessions);
wireTabs();
feed.start();
selectTab(byId('tab-overview'));
loadSessions();
