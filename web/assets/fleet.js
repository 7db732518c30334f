// The fleet: one row per mainframe, problems first, kept live by the stream.
// A worker reads the stream and sends only the rows whose shown values
// changed; each row is built once and kept in a map by id, an update
// touches only its own cells, and a row moves only when its rank changes.
import { api, el, errorText, led, setLed, setText, shortTime, showLive, startPage, toLogin } from '/assets/app.js';
import { rowModel } from '/assets/fleet-model.js';

const LINE_LABELS = ['Power', 'SysFail', 'Input Fail', 'Output Fail', 'Sensor Fail', 'Fan Fail'];
const OUTPUT_NAMES = ['+24V', '+12V', '+5V', '-2V', '-5.2V', '-12V', '-24V'];

const tbody = document.getElementById('rows');
const filterInput = document.getElementById('filter');
const message = document.getElementById('message');
const rows = new Map(); // id -> entry
let order = []; // entries in display order
const counts = { healthy: 0, problem: 0, down: 0 };
let filterText = '';
// For the benchmarks: when the first full table stood, and how many row updates came.
const stats = { ready: 0, updates: 0 };
window.cvFleet = stats;

function categoryOf(rank) {
  if (rank === 0) return 'down';
  if (rank <= 3) return 'problem';
  return rank === 5 ? 'healthy' : null;
}

function before(a, b) {
  return a.rank !== b.rank ? a.rank < b.rank : a.index < b.index;
}

function buildRow(row, index) {
  const tr = el('tr', { 'data-id': row.id });
  const cells = {
    link: el('a', { href: '/mainframes/' + encodeURIComponent(row.id) }),
    address: el('td', { className: 'addr' }),
    state: el('span', { className: 'state' }),
    power: el('td'),
    lines: LINE_LABELS.map((label, i) => [label, led(i === 0 ? 'good' : 'fail')]),
    fanTray: el('td', { className: 'num' }),
    powerSupply: el('td', { className: 'num' }),
    fans: el('td', { className: 'num' }),
    outputs: OUTPUT_NAMES.map((name) => [name, led('output')]),
    lastEvent: el('time'),
  };
  tr.append(
    el('th', { scope: 'row' }, cells.link),
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
  const entry = { id: row.id, index, tr, cells, rank: -1, category: null, search: '', visible: false, stale: null, shape: '' };
  fill(entry, row);
  visibility.observe(tr);
  return entry;
}

// Writes a row model into its row; only what differs reaches the DOM.
// Returns whether the row's rank changed.
function fill(entry, row) {
  const c = entry.cells;
  setText(c.link, row.name);
  setText(c.address, row.target);
  setText(c.state, row.stateText);
  const stateClass = 'state state-' + row.stateKey;
  if (c.state.className !== stateClass) c.state.className = stateClass;
  if (row.linkError) c.state.title = row.linkError;
  else if (c.state.title) c.state.removeAttribute('title');
  setText(c.power, row.power);
  row.lines.forEach((state, i) => setLed(c.lines[i][1], c.lines[i][0], state));
  row.outputs.forEach((state, i) => setLed(c.outputs[i][1], c.outputs[i][0], state));
  setText(c.fanTray, row.fanTray);
  setText(c.powerSupply, row.powerSupply);
  setText(c.fans, row.fans);
  setText(c.lastEvent, shortTime(row.lastEvent));
  if (row.lastEvent && c.lastEvent.dateTime !== row.lastEvent) c.lastEvent.dateTime = row.lastEvent;

  entry.shape = shapeOf(row);
  entry.search = [row.name, row.id, row.target, row.stateText].join(' ').toLowerCase();
  applyFilter(entry);
  const category = categoryOf(row.rank);
  if (category !== entry.category) {
    if (entry.category) counts[entry.category] -= 1;
    if (category) counts[category] += 1;
    entry.category = category;
  }
  if (row.rank === entry.rank) return false;
  entry.rank = row.rank;
  entry.tr.dataset.rank = String(row.rank);
  return true;
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

function build(models) {
  visibility.disconnect();
  rows.clear();
  counts.healthy = counts.problem = counts.down = 0;
  const entries = models.map((row, i) => buildRow(row, i));
  for (const entry of entries) rows.set(entry.id, entry);
  order = entries.slice().sort((a, b) => (before(a, b) ? -1 : 1));
  const fragment = document.createDocumentFragment();
  for (const entry of order) fragment.append(entry.tr);
  tbody.replaceChildren(fragment);
  if (models.length === 0) {
    tbody.append(el('tr', {}, el('td', { colSpan: 10, className: 'empty', text: 'No mainframes are configured.' })));
  }
  showCounts();
}

// What a row shows apart from its measured values.
const shapeOf = (row) => [row.name, row.target, row.stateText, row.power, row.lines, row.outputs, row.lastEvent].join('|');

// Rows out of sight are written when they come into sight, unless more than
// their temperatures and fan speeds changed: a busy fleet's measurement
// noise then costs no layout for the rows nobody sees.
const visibility = new IntersectionObserver((seen) => {
  for (const { target, isIntersecting } of seen) {
    const entry = rows.get(target.dataset.id);
    if (!entry) continue;
    entry.visible = isIntersecting;
    if (isIntersecting && entry.stale) {
      fill(entry, entry.stale);
      entry.stale = null;
    }
  }
}, { rootMargin: '300px 0px' });

function apply(changed) {
  stats.updates += changed.length;
  for (const row of changed) {
    const entry = rows.get(row.id);
    if (!entry) continue;
    if (!entry.visible && shapeOf(row) === entry.shape) {
      entry.stale = row;
      continue;
    }
    entry.stale = null;
    if (fill(entry, row)) place(entry);
  }
  showCounts();
}

async function load() {
  const result = await api('mainframes');
  if (result.status !== 200 || !result.data || !Array.isArray(result.data.mainframes)) {
    message.hidden = false;
    setText(message, 'The mainframes could not be read: ' + errorText(result));
    return null;
  }
  message.hidden = true;
  const models = result.data.mainframes.map(rowModel);
  build(models);
  return models;
}

filterInput.addEventListener('input', () => {
  filterText = filterInput.value.trim().toLowerCase();
  for (const entry of order) applyFilter(entry);
});

await startPage('fleet');
const worker = new Worker('/assets/fleet-worker.js', { type: 'module' });
worker.postMessage({ known: await load() || [], open: true });
stats.ready = performance.now();
showLive('connecting', 'Connecting…');
worker.onmessage = async ({ data }) => {
  if (data.rows) apply(data.rows);
  else if (data.fleet) worker.postMessage({ known: await load() || [] });
  else if (data.state === 'live') showLive('live', 'Live');
  else if (data.state === 'reconnecting') showLive('down', 'Reconnecting…');
  else if (data.state === 'closed') {
    // The service refused the stream: signed out, or a passing error.
    showLive('down', 'Disconnected, retrying…');
    const retry = async () => {
      const s = await api('session');
      if (s.status === 200) worker.postMessage({ open: true });
      else if (s.status === 401) toLogin();
      else setTimeout(retry, 3000);
    };
    setTimeout(retry, 3000);
  }
};
