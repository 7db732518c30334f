// Shared by every page: the API client with the session's CSRF token, the
// page header (user, role, sign-out), indicators, times and the live stream.

export const STATUS_LINES = [
  ['main_power_on', 'Power'],
  ['sys_fail', 'SysFail'],
  ['input_fail', 'Input Fail'],
  ['output_fail', 'Output Fail'],
  ['sensor_fail', 'Sensor Fail'],
  ['fan_fail', 'Fan Fail'],
];

let csrfToken = null;

// Goes to the sign-in page, coming back here afterwards.
export function toLogin() {
  const next = location.pathname + location.search;
  location.assign('/login?next=' + encodeURIComponent(next));
}

// One API call. Resolves to {status, data, response}; data is the parsed
// JSON body or null. A 401 on a page that needs a session leaves for /login.
export async function api(path, { method = 'GET', body, signal } = {}) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (csrfToken && method !== 'GET') headers['X-CSRF-Token'] = csrfToken;
  let response;
  try {
    response = await fetch('/api/v1/' + path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
      signal,
    });
  } catch (e) {
    if (e.name === 'AbortError') throw e;
    return { status: 0, data: { error: 'the service cannot be reached' }, response: null };
  }
  let data = null;
  if ((response.headers.get('Content-Type') || '').startsWith('application/json')) {
    try {
      data = await response.json();
    } catch {
      data = null;
    }
  }
  if (response.status === 401 && path !== 'session') toLogin();
  return { status: response.status, data, response };
}

export function errorText(result) {
  if (result.data && typeof result.data.error === 'string') return result.data.error;
  return result.status ? 'the service answered ' + result.status : 'the service cannot be reached';
}

// Element helper: el('td', {className: 'x', text: 'y'}, child, ...).
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null) continue;
    if (key === 'text') node.textContent = value;
    else if (key === 'className') node.className = value;
    else if (key in node && !key.includes('-')) node[key] = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) if (child !== null && child !== undefined) node.append(child);
  return node;
}

export function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

// An indicator lamp: shape and accessible name carry the state, colour
// repeats it. kind: 'good' (lit green when on), 'fail' (lit red when on),
// 'output' (green good, red failed, grey switched off).
export function led(kind) {
  return el('span', { className: 'led led-' + kind, role: 'img' });
}

export function setLed(node, label, state) {
  // state: 'on', 'off', 'fail' (outputs) or 'none' (no reading)
  const name = label + ': ' + stateWord(node, state);
  if (node.dataset.state !== state) node.dataset.state = state;
  if (node.getAttribute('aria-label') !== name) {
    node.setAttribute('aria-label', name);
    node.title = name;
  }
}

function stateWord(node, state) {
  if (state === 'none') return 'no reading';
  if (node.classList.contains('led-output')) return { on: 'good', fail: 'failed', off: 'off' }[state];
  if (node.classList.contains('led-good')) return state === 'on' ? 'on' : 'off';
  return state === 'on' ? 'set' : 'clear';
}

export function outputState(output, powerOn) {
  if (output.ok) return 'on';
  return powerOn ? 'fail' : 'off';
}

const pad = (n) => String(n).padStart(2, '0');

// A stored time in the reader's local time: "14:03:07" today, else with the date.
export function shortTime(iso) {
  if (!iso) return '—';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return '—';
  const clock = pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
  const now = new Date();
  if (d.toDateString() === now.toDateString()) return clock;
  return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' + clock;
}

export function fullTime(iso) {
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return '';
  return (
    d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' +
    pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds())
  );
}

export function timeElement(iso) {
  const t = el('time', { text: shortTime(iso) });
  if (iso) {
    t.dateTime = iso;
    t.title = fullTime(iso);
  }
  return t;
}

// Reads the session, fills the page header and returns the session, or
// leaves for /login when there is none.
export async function startPage(active) {
  const result = await api('session');
  if (result.status !== 200 || !result.data) {
    toLogin();
    throw new Error('no session');
  }
  const session = result.data;
  csrfToken = session.csrf_token;
  fillHeader(session, active);
  return session;
}

export function mayCommand(session) {
  return session.role === 'operator' || session.role === 'admin';
}

function fillHeader(session, active) {
  const nav = document.querySelector('header nav');
  const links = [
    ['/', 'Fleet', 'fleet'],
    ['/events', 'History', 'events'],
  ];
  if (session.role === 'admin') links.push(['/audit', 'Audit', 'audit']);
  const list = el('ul');
  for (const [href, text, key] of links) {
    const a = el('a', { href, text });
    if (key === active) a.setAttribute('aria-current', 'page');
    list.append(el('li', {}, a));
  }
  nav.replaceChildren(list);

  const who = document.querySelector('header .who');
  const role = session.role;
  if (session.user) {
    const out = el('button', { type: 'button', className: 'signout', text: 'Sign out' });
    out.addEventListener('click', signOut);
    who.replaceChildren(
      el('span', { className: 'user', text: session.user }),
      el('span', { className: 'role role-' + role, text: role }),
      out,
    );
  } else {
    who.replaceChildren(
      el('span', { className: 'role role-anonymous', text: 'not signed in' }),
      el('a', { href: '/login', className: 'signin', text: 'Sign in' }),
    );
  }
}

async function signOut() {
  await api('session', { method: 'DELETE' });
  location.assign('/login');
}

// A live stream (the mainframe page's), its state shown in the header.
// The state of the live stream in the header: "Live", or "Reconnecting…"
// while the browser's EventSource tries again.
export function showLive(state, text) {
  const badge = document.querySelector('header .live');
  badge.dataset.state = state;
  setText(badge, text);
}

export function openStream(query, handlers, again = false) {
  const show = showLive;
  show('connecting', 'Connecting…');
  const source = new EventSource('/api/v1/stream' + query);
  let everOpen = again;
  source.addEventListener('open', () => {
    show('live', 'Live');
    if (everOpen && handlers.reopened) handlers.reopened();
    everOpen = true;
  });
  source.addEventListener('error', () => {
    if (source.readyState === EventSource.CLOSED) {
      // The service refused the stream (signed out, or it is gone): check
      // the session, then try again on our own.
      show('down', 'Disconnected, retrying…');
      source.close();
      const retry = async () => {
        const s = await api('session');
        if (s.status === 200) openStream(query, handlers, true);
        else if (s.status === 401) toLogin();
        else setTimeout(retry, 3000);
      };
      setTimeout(retry, 3000);
    } else {
      show('down', 'Reconnecting…');
    }
  });
  for (const name of ['mainframe', 'event', 'fleet']) {
    if (!handlers[name]) continue;
    source.addEventListener(name, (message) => {
      let data;
      try {
        data = JSON.parse(message.data);
      } catch {
        return;
      }
      handlers[name](data);
    });
  }
  return source;
}
