// The process table: sortable by any column, narrowed by session with the plug-in's two
// session filters, and "End process" behind a confirmation that names the process.
import { callOpcode, failureText, listOf } from './api.js';
import { Poller } from './poller.js';
import { byId, cell, formatBytes, formatClock, formatSeconds, showText } from './ui.js';

const TEXT_COLUMNS = new Set(['name', 'user_name']);

function compareBy(key, direction) {
  const sign = direction === 'descending' ? -1 : 1;
  return (a, b) => {
    const x = a[key];
    const y = b[key];
    const order = TEXT_COLUMNS.has(key)
      ? String(x ?? '').localeCompare(String(y ?? ''), undefined, { sensitivity: 'base' })
      : (Number(x) || 0) - (Number(y) || 0);
    return sign * order || (a.id ?? 0) - (b.id ?? 0);
  };
}

function describe(process) {
  return `${process.name} (PID ${process.id})`;
}

// A process is the same one only with the same id and start time: ids are reused.
function identity(process) {
  return `${process.id}:${process.create_time}`;
}

export class ProcessView {
  constructor(feed) {
    this.feed = feed;
    this.sessionId = null;
    this.processes = [];
    // Processes ended from here, by id and start time: samples taken just before the end may
    // still list them for a second.
    this.ended = new Set();
    // The plug-in's refusals, by identity: whether it protects a process is known only once it
    // refused to end it, and the row keeps saying so for as long as the process is listed.
    this.refused = new Map();
    this.updates = 0;
    this.sortKey = 'id';
    this.sortDirection = 'ascending';
    this.visible = false;
    this.table = byId('process-table');
    this.body = this.table.tBodies[0];
    this.filter = byId('process-filter');
    this.search = byId('process-search');
    this.summary = byId('process-summary');
    this.message = byId('process-message');
    this.error = byId('process-error');
    this.dialog = byId('end-dialog');
    this.filteredPoller = new Poller(() => this.pollFiltered(), 3000);
    feed.onProcesses = (list) => this.takeFromFeed(list);
    this.wire();
  }

  wire() {
    for (const header of this.table.tHead.querySelectorAll('th[data-key]')) {
      header.querySelector('button').addEventListener('click', () => this.sortBy(header.dataset.key));
    }
    this.filter.addEventListener('change', () => this.updateSource());
    this.search.addEventListener('input', () => this.render());
    this.body.addEventListener('click', (event) => {
      const button = event.target.closest('button[data-pid]');
      if (button) this.confirmEnd(Number(button.dataset.pid));
    });
    this.dialog.addEventListener('close', () => this.dialogClosed());
  }

  setSession(sessionId) {
    this.sessionId = sessionId;
    if (this.filter.value !== '') this.filteredPoller.refresh();
  }

  show() {
    this.visible = true;
    this.updateSource();
  }

  hide() {
    this.visible = false;
    this.updateSource();
  }

  // Without a session filter the table follows the one-second "Performance" poll; with one,
  // "ProcessMetrics" is asked, since only it filters by session.
  updateSource() {
    const filtered = this.filter.value !== '';
    this.feed.wantProcesses = this.visible && !filtered;
    if (this.visible && filtered) {
      this.filteredPoller.start();
      this.filteredPoller.refresh();
    } else {
      this.filteredPoller.stop();
    }
  }

  takeFromFeed(list) {
    if (this.filter.value !== '') return;
    showText(this.error, '');
    this.setProcesses(list, '“Performance”', '');
  }

  async pollFiltered() {
    const filter = this.filter.value;
    const request = { processFilter: { processSessionFilter: filter } };
    if (this.sessionId !== null) request.SESSIONID = this.sessionId;
    let answer;
    try {
      answer = await callOpcode('ProcessMetrics', request);
    } catch (error) {
      showText(this.error, error.message);
      return;
    }
    if (filter !== this.filter.value) return; // changed while the request ran
    if (!answer.result) {
      showText(this.error, failureText(answer, 'The process request failed'));
      return;
    }
    showText(this.error, '');
    this.setProcesses(listOf(answer.reply.processMetrics?.process), '“ProcessMetrics”', filter);
  }

  // `filter` is the session filter the list was asked with; the table carries it, so that a
  // reader can tell which list is on screen.
  setProcesses(list, source, filter) {
    this.processes = list.filter((p) => !this.ended.has(identity(p)));
    this.source = source;
    this.table.dataset.filter = filter;
    // Counts the lists taken, so that a reader (and the browser tests) can see the table renew.
    this.updates += 1;
    this.table.dataset.updates = String(this.updates);
    this.updated = new Date();
    this.render();
  }

  sortBy(key) {
    this.sortDirection = this.sortKey === key && this.sortDirection === 'ascending' ? 'descending' : 'ascending';
    this.sortKey = key;
    for (const header of this.table.tHead.querySelectorAll('th[data-key]')) {
      header.setAttribute('aria-sort', header.dataset.key === key ? this.sortDirection : 'none');
    }
    this.render();
  }

  shownProcesses() {
    const needle = this.search.value.trim().toLowerCase();
    return this.processes
      .filter((p) => needle === '' || String(p.name ?? '').toLowerCase().includes(needle))
      .sort(compareBy(this.sortKey, this.sortDirection));
  }

  render() {
    const shown = this.shownProcesses();
    this.body.replaceChildren(...shown.map((p) => this.row(p)));
    const time = this.updated ? `, updated ${formatClock(this.updated)} from ${this.source}` : '';
    this.summary.textContent = `${shown.length} of ${this.processes.length} processes${time}`;
  }

  row(process) {
    const row = document.createElement('tr');
    row.dataset.pid = String(process.id);
    row.append(
      cell('td', String(process.name ?? '')),
      cell('td', String(process.id ?? ''), 'number'),
      cell('td', String(process.session_id ?? ''), 'number'),
      cell('td', String(process.user_name ?? '')),
      cell('td', String(process.cpu ?? ''), 'number'),
      cell('td', formatBytes(process.mem), 'number'),
      cell('td', formatBytes(process.disk), 'number'),
      cell('td', formatSeconds(process.create_time)),
    );
    const action = cell('td', '', 'action');
    const refusal = this.refused.get(identity(process));
    if (refusal !== undefined) {
      row.classList.add('refused');
      const badge = cell('span', `⊘ Refused: ${refusal}`, 'refusal');
      badge.title = 'The plug-in refused to end this process';
      action.append(badge, ' ');
    }
    const button = cell('button', 'End process', 'end');
    button.type = 'button';
    button.dataset.pid = String(process.id);
    button.setAttribute('aria-label', `End process ${describe(process)}`);
    action.append(button);
    row.append(action);
    return row;
  }

  // The dialog keeps its own copy of the record: the table may refresh while it is open, and
  // the plug-in must be asked about exactly the process the user confirmed.
  confirmEnd(pid) {
    const process = this.processes.find((p) => p.id === pid);
    if (!process) return;
    this.pending = { ...process };
    byId('end-text').textContent = `End ${describe(process)}, started ${formatSeconds(process.create_time)}`
      + `${process.user_name ? ` by ${process.user_name}` : ''}? Unsaved work in it is lost.`;
    this.dialog.returnValue = '';
    this.dialog.showModal();
  }

  dialogClosed() {
    const process = this.pending;
    this.pending = null;
    if (process && this.dialog.returnValue === 'confirm') this.end(process);
  }

  async end(process) {
    showText(this.message, `Ending ${describe(process)}…`);
    let answer;
    try {
      answer = await callOpcode('EndProcess', {
        processId: process.id, createTime: process.create_time, processName: process.name,
      });
    } catch (error) {
      showText(this.message, '');
      showText(this.error, `Cannot end ${describe(process)}: ${error.message}`);
      return;
    }
    if (answer.result) {
      showText(this.error, '');
      showText(this.message, `Ended ${describe(process)}.`);
      this.ended.add(identity(process));
      this.setProcesses(this.processes, this.source, this.table.dataset.filter);
      return;
    }
    showText(this.message, '');
    // Only a protected process gets a text ("not allowed"); other refusals mean the process
    // is gone or no longer the one the table showed, so only the former marks the row.
    const text = failureText(answer, '');
    showText(this.error, `Cannot end ${describe(process)}: ${text || 'it has ended or is no longer the process shown'}`);
    if (text !== '') {
      this.refused.set(identity(process), text);
      this.render();
    }
  }
}
