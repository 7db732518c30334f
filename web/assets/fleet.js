// The fleet: one row per mainframe, problems first, kept live by the stream.
// Each row is built once and kept in a map by id; an update touches only
// its own row's cells and moves the row only when its rank changes.
import {
  STATUS_LINES, api, el, errorText, led, openStream, outputState, setLed, setText, shortTime, startPage,
} from '/assets/app.js';

const OUTPUT_NAMES = ['+24V', '+12V', '+5V', '-2V', '-5.2V', '-12V', '-24V'];
const STATE_TEXT = {
  down: 'Link down', critical: 'Failure', warning: 'Warning', ok: 'OK', unknown: 'Unknown',
};

const tbody = document.getElementById('rows');
const filterInput = document.getElementById('filter');
const message = document.getElementById('message');
const rows = new Map(); // id -> entry
let order = []; // entries in display order
const counts = { healthy: 0, problem: 0, down: 0 };
let pending = new Map(); // id -> Mainframe waiting for the next flush
let flushAsked = false;
let lastFlush = 0;
// At most one flush (one style and layout pass of the table) every
// FLUSH_MS: a busy fleet's updates are written together, a lone change at once.
const FLUSH_MS = 250;
let filterText = '';

// 0 link down, 1 failures, 2 main power off, 3 other warnings, 4 no reading yet, 5 healthy.
function rankOf(m) {
  if (m.state === 'down' || (m.link && m.link.up === false)) return 0;
  if (m.state === 'critical') return 1;
  if (m.state === 'warning') {
    const s = m.snapshot && m.snapshot.status;
    return s && s.main_power_on === false ? 2 : 3;
  }
  if (m.state === 'unknown' || !m.snapshot) return 4;
  return 5;
}

function categoryOf(rank) {
  if (rank === 0) return 'down';
  if (rank <= 3) return 'problem';
  if (rank === 5) return 'healthy';
  return null;
}

function before(a, b) {
  return a.rank !== b.rank ? a.rank < b.rank : a.index < b.index;
}

function buildRow(m, index) {
  const tr = el('tr', { 'data-id': m.id });
  const link = el('a', { href: '/mainframes/' + encodeURIComponent(m.id) });
  const cells = {
    link,
    address: el('td', { className: 'addr' }),
    state: el('span', { className: 'state' }),
    power: el('td'),
    lines: STATUS_LINES.map(([, label]) => [label, led(label === 'Power' ? 'good' : 'fail')]),
    fanTray: el('td', { className: 'num' }),
    powerSupply: el('td', { className: 'num' }),
    fans: el('td', { className: 'num' }),
    outputs: OUTPUT_NAMES.map((name) => [name, led('output')]),
    lastEvent: el('time'),
  };
  tr.append(
    el('th', { scope: 'row' }, link),
    cells.address,
    el('td', {}, cells.state),
    cells.power,
    el('td', {}, el('span', { className: 'lamps' }, ...cells.lines.map(([, node]) => node))),
    cells.fanTray,
    cells.powerSupply,
    cells.fans,
    el('td', {}, el('span', { className: 'lamps' }, ...cells.outputs.map(([, node]) => node))),
    el('td', {}, cells.lastEvent),
  );
  const entry = { id: m.id, index, tr, cells, rank: -1, category: null, search: '', data: null };
  fill(entry, m);
  return entry;
}

// Writes a Mainframe into its row; only what differs reaches the DOM.
function fill(entry, m) {
  const c = entry.cells;
  entry.data = m;
  setText(c.link, m.name || m.id);
  setText(c.address, m.target || m.resource || '');
  const rank = rankOf(m);
  const stateKey = rank === 0 ? 'down' : m.state in STATE_TEXT ? m.state : 'unknown';
  let stateText = STATE_TEXT[stateKey];
  if (rank === 2) stateText = 'Power off';
  setText(c.state, stateText);
  c.state.className = 'state state-' + stateKey;
  if (rank === 0 && m.link && m.link.error) c.state.title = m.link.error;
  else c.state.removeAttribute('title');

  const snap = m.snapshot;
  if (snap) {
    const st = snap.status;
    setText(c.power, st.main_power_on ? 'On' : 'Off');
    STATUS_LINES.forEach(([key], i) => {
      const [label, node] = c.lines[i];
      setLed(node, label, st[key] ? 'on' : 'off');
    });
    const t = snap.temperatures;
    setText(c.fanTray, t.fan_tray_temperature_celsius + ' °C');
    setText(c.powerSupply, t.power_supply_temperature_celsius + ' °C');
    setText(c.fans, snap.fans.speed_rpm.join(' / '));
    c.outputs.forEach(([label, node], i) => {
      const o = snap.outputs[i];
      setLed(node, label, o ? outputState(o, st.main_power_on) : 'none');
    });
  } else {
    setText(c.power, '—');
    for (const [label, node] of c.lines) setLed(node, label, 'none');
    for (const [label, node] of c.outputs) setLed(node, label, 'none');
    setText(c.fanTray, '—');
    setText(c.powerSupply, '—');
    setText(c.fans, '—');
  }
  setText(c.lastEvent, shortTime(m.last_event));
  if (m.last_event && c.lastEvent.dateTime !== m.last_event) c.lastEvent.dateTime = m.last_event;

  entry.search = [m.name, m.id, m.target, m.resource, stateText].join(' ').toLowerCase();
  applyFilter(entry);

  const category = categoryOf(rank);
  if (category !== entry.category) {
    if (entry.category) counts[entry.category] -= 1;
    if (category) counts[category] += 1;
    entry.category = category;
  }
  if (rank !== entry.rank) {
    entry.rank = rank;
    entry.tr.dataset.rank = String(rank);
    return true;
  }
  return false;
}

function applyFilter(entry) {
  const hidden = filterText !== '' && !entry.search.includes(filterText);
  if (entry.tr.hidden !== hidden) entry.tr.hidden = hidden;
}

// Moves one entry to its place: a binary search in the display order, then
// one DOM move.
function place(entry) {
  const at = order.indexOf(entry);
  if (at >= 0) order.splice(at, 1);
  let lo = 0;
  let hi = order.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (before(order[mid], entry)) lo = mid + 1;
    else hi = mid;
  }
  order.splice(lo, 0, entry);
  const next = order[lo + 1];
  tbody.insertBefore(entry.tr, next ? next.tr : null);
}

function showCounts() {
  setText(document.getElementById('n-healthy'), String(counts.healthy));
  setText(document.getElementById('n-problem'), String(counts.problem));
  setText(document.getElementById('n-down'), String(counts.down));
  const parts = [];
  if (counts.down) parts.push(counts.down + ' unreachable');
  if (counts.problem) parts.push(counts.problem + ' with a problem');
  parts.push(counts.healthy + ' healthy');
  const title = parts.join(', ') + ' · Mainframes · Ostrel 4870';
  if (document.title !== title) document.title = title;
}

function build(list) {
  rows.clear();
  counts.healthy = counts.problem = counts.down = 0;
  const entries = list.map((m, i) => buildRow(m, i));
  for (const entry of entries) rows.set(entry.id, entry);
  order = entries.slice().sort((a, b) => (before(a, b) ? -1 : 1));
  const fragment = document.createDocumentFragment();
  for (const entry of order) fragment.append(entry.tr);
  tbody.replaceChildren(fragment);
  if (list.length === 0) {
    tbody.append(el('tr', {}, el('td', { colSpan: 10, className: 'empty', text: 'No mainframes are configured.' })));
  }
  showCounts();
}

function flush() {
  flushAsked = false;
  lastFlush = performance.now();
  const batch = pending;
  pending = new Map();
  for (const [id, m] of batch) {
    const entry = rows.get(id);
    if (!entry) continue;
    if (fill(entry, m)) place(entry);
  }
  showCounts();
}

function update(m) {
  stats.updates += 1;
  if (!m || typeof m.id !== 'string' || !rows.has(m.id)) return;
  pending.set(m.id, m);
  if (flushAsked) return;
  flushAsked = true;
  const wait = Math.max(0, lastFlush + FLUSH_MS - performance.now());
  setTimeout(() => (document.hidden ? flush() : requestAnimationFrame(flush)), wait);
}

function onEvent(ev) {
  const entry = ev && rows.get(ev.mainframe);
  if (!entry || !entry.data) return;
  if (!entry.data.last_event || ev.time > entry.data.last_event) {
    update({ ...(pending.get(ev.mainframe) || entry.data), last_event: ev.time });
  }
}

async function load() {
  const result = await api('mainframes');
  if (result.status !== 200 || !result.data || !Array.isArray(result.data.mainframes)) {
    message.hidden = false;
    setText(message, 'The mainframes could not be read: ' + errorText(result));
    return false;
  }
  message.hidden = true;
  build(result.data.mainframes);
  return true;
}

filterInput.addEventListener('input', () => {
  filterText = filterInput.value.trim().toLowerCase();
  for (const entry of order) applyFilter(entry);
});

await startPage('fleet');
await load();
// For the benchmarks: when the first full table stood, and how many updates came.
const stats = { ready: performance.now(), updates: 0 };
window.cvFleet = stats;
openStream('', {
  mainframe: update,
  event: onEvent,
  fleet: () => load(),
});
