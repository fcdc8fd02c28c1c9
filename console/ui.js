// Small DOM helpers. Everything that came from the plug-in goes in as textContent, never as
// markup.

export function byId(id) {
  const element = document.getElementById(id);
  if (!element) throw new Error(`the page has no #${id}`);
  return element;
}

// Shows a message in a paragraph that is hidden while it has none.
export function showText(element, text) {
  element.textContent = text ?? '';
  element.hidden = !text;
}

export function cell(tag, text, className) {
  const element = document.createElement(tag);
  element.textContent = text;
  if (className) element.className = className;
  return element;
}

// A two-column table of [label, value] rows; `keys` become the rows' data-key, so that the
// reply key a value came from stays visible to tools.
export function fillPairs(tbody, rows) {
  tbody.replaceChildren(...rows.map(([label, value, key]) => {
    const row = document.createElement('tr');
    const header = cell('th', label);
    header.scope = 'row';
    row.append(header, cell('td', String(value)));
    if (key) row.dataset.key = key;
    return row;
  }));
}

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];

export function formatBytes(bytes) {
  if (typeof bytes !== 'number' || !Number.isFinite(bytes)) return '';
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${value} B` : `${value.toFixed(value < 10 ? 1 : 0)} ${UNITS[unit]}`;
}

export function formatSeconds(seconds) {
  if (typeof seconds !== 'number' || seconds <= 0) return '';
  return new Date(seconds * 1000).toLocaleString();
}

export function formatClock(date = new Date()) {
  return date.toLocaleTimeString();
}
