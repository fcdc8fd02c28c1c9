// Requests to dorn serve. Every answer of the plug-in comes back as
// {result, error: {code, text}, reply}; the HTTP layer's own refusals carry {error: "..."}.

export const NOT_SIGNED_IN = 'Not signed in: open the address dorn serve printed';

// The host's refusal (401, 4xx, 503), as opposed to the plug-in's own answer.
export class HostError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// Listeners hear whether the last request got through, so one banner can say "not signed in"
// without every panel repeating it.
const signInListeners = new Set();
export function onSignInChange(listener) {
  signInListeners.add(listener);
}
function reportSignedIn(signedIn) {
  for (const listener of signInListeners) listener(signedIn);
}

async function readBody(response) {
  const text = await response.text();
  try {
    return JSON.parse(text);
  } catch {
    return { error: text || response.statusText };
  }
}

async function send(path, init) {
  let response;
  try {
    response = await fetch(path, { credentials: 'same-origin', cache: 'no-store', ...init });
  } catch (error) {
    throw new HostError(0, `dorn serve cannot be reached (${error.message})`);
  }
  const body = await readBody(response);
  if (response.status === 401) {
    reportSignedIn(false);
    throw new HostError(401, NOT_SIGNED_IN);
  }
  reportSignedIn(true);
  if (!response.ok) {
    const reason = typeof body.error === 'string' ? body.error : response.statusText;
    throw new HostError(response.status, reason);
  }
  return body;
}

// One plug-in request. Resolves to {result, error, reply} whatever the plug-in answered;
// rejects only when the host itself refused or could not be reached.
export async function callOpcode(opcode, bag = {}) {
  const body = await send(`/api/${encodeURIComponent(opcode)}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(bag),
  });
  return { result: body.result === true, error: body.error, reply: body.reply ?? {} };
}

export async function getSessions() {
  const body = await send('/api/sessions', { method: 'GET' });
  return Array.isArray(body.sessions) ? body.sessions : [];
}

// A key that occurs once is a value in the JSON form of a bag, more than once an array.
export function listOf(value) {
  if (value === undefined || value === null) return [];
  return Array.isArray(value) ? value : [value];
}

// The text to show for a failed answer: the plug-in's own text when it gave one.
export function failureText(answer, fallback) {
  const text = answer.error && typeof answer.error.text === 'string' ? answer.error.text : '';
  return text !== '' ? text : fallback;
}
