// A session's health at a glance: each figure of its display protocol against its limits.
// These limits are the only ones the console knows; docs/console.md lists them for operators.

// `worseAbove`: the figure is worse the higher it is (else the lower). A figure past `warning`
// is a warning, past `bad` bad. The frame rate is judged only while the session sends images:
// an idle desktop sends no frames and is not in trouble.
export const THRESHOLDS = {
  roundTrip: { label: 'Round trip', unit: 'ms', worseAbove: true, warning: 150, bad: 300 },
  packetLoss: { label: 'Packet loss', unit: '%', worseAbove: true, warning: 2, bad: 5 },
  frameRate: { label: 'Frame rate', unit: 'fps', worseAbove: false, warning: 10, bad: 5, whileSending: true },
};

// Each state has a word and a sign, so that it never rests on colour alone.
export const STATES = {
  ok: { rank: 0, text: 'OK', sign: '✓' },
  unknown: { rank: 1, text: 'Unknown', sign: '?' },
  warning: { rank: 2, text: 'Warning', sign: '⚠' },
  bad: { rank: 3, text: 'Bad', sign: '✕' },
};

export function stateLabel(state) {
  const { sign, text } = STATES[state];
  return `${sign} ${text}`;
}

function past(limit, value, worseAbove) {
  return worseAbove ? value > limit : value < limit;
}

function limitText(limits, state) {
  return `${limits.worseAbove ? 'above' : 'below'} ${limits[state]} ${limits.unit}`;
}

// One figure's state: {figure, label, value, state, text}; null when it is not judged (missing
// from the reply, or a frame rate while nothing is sent).
export function judgeFigure(figure, value, sending) {
  const limits = THRESHOLDS[figure];
  if (typeof value !== 'number') return null;
  if (limits.whileSending && sending !== true) return null;
  const state = ['bad', 'warning'].find((level) => past(limits[level], value, limits.worseAbove)) ?? 'ok';
  const reading = `${limits.label} ${value} ${limits.unit}`;
  const text = state === 'ok' ? reading : `${reading}: ${limitText(limits, state)}`;
  return { figure, label: limits.label, value, state, text };
}

// The session's state is that of its worst figure; a reply without any judged figure is
// "unknown", since nothing says the session is well.
export function judgeSession(figures) {
  const findings = Object.keys(THRESHOLDS)
    .map((figure) => judgeFigure(figure, figures[figure], figures.sending))
    .filter((finding) => finding !== null);
  const state = findings.reduce((worse, finding) => (STATES[finding.state].rank > STATES[worse].rank
    ? finding.state : worse), findings.length > 0 ? 'ok' : 'unknown');
  return { state, findings };
}
