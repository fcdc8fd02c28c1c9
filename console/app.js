// The console page: the session picker, the three views and the sign-in banner.
import { onSignInChange, NOT_SIGNED_IN } from './api.js';
import { HistoryView, PerformanceFeed } from './overview.js';
import { SessionPicker } from './picker.js';
import { ProcessView } from './processes.js';
import { SessionView } from './session.js';
import { byId, showText } from './ui.js';

const banner = byId('banner');
const feed = new PerformanceFeed();
const history = new HistoryView();
const processes = new ProcessView(feed);
const session = new SessionView((sessionId, state) => picker.setHealth(sessionId, state));
const picker = new SessionPicker({
  onChoose: (sessionId, label) => {
    history.setSession(sessionId);
    processes.setSession(sessionId);
    session.setSession(sessionId, label);
  },
  onError: (text) => showText(banner, text),
  liveSession: () => session.liveSession,
});

// Each view polls only while it is shown; the machine charts always run.
const VIEWS = {
  'tab-overview': history,
  'tab-processes': processes,
  'tab-session': session,
};

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

// Arrow keys move between tabs, Home and End to the first and last, as a tab list is
// expected to behave.
function wireTabs() {
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  for (const tab of tabs) {
    tab.addEventListener('click', () => selectTab(tab));
    tab.addEventListener('keydown', (event) => {
      const index = tabs.indexOf(tab);
      const target = {
        ArrowRight: (index + 1) % tabs.length,
        ArrowLeft: (index - 1 + tabs.length) % tabs.length,
        Home: 0,
        End: tabs.length - 1,
      }[event.key];
      if (target === undefined) return;
      event.preventDefault();
      tabs[target].focus();
      selectTab(tabs[target]);
    });
  }
}

byId('reload-sessions').addEventListener('click', () => picker.load());
wireTabs();
feed.start();
selectTab(byId('tab-overview'));
picker.load();
