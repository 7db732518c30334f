// History of events and the audit trail: filters kept in the address (so a
// view can be bookmarked), pages by the service's "before" cursor, and the
// same query as a CSV download.
import { api, el, errorText, setText, startPage, timeElement } from '/assets/app.js';

const main = document.querySelector('main');
const kind = main.dataset.list; // 'events' or 'audit'
const $ = (x) => document.getElementById(x);
const PAGE = 100;

const VIEWS = {
  events: {
    path: 'events',
    items: 'events',
    choice: ['f-kind', 'kind', ['line_set', 'line_cleared', 'output_failed', 'output_recovered', 'power_on',
      'power_off', 'fan_nominal_changed', 'link_lost', 'link_restored', 'command']],
    fields: ['mainframe', 'kind', 'since', 'until'],
    row: (e, link) => [timeElement(e.time), link(e.mainframe), e.kind.replaceAll('_', ' '),
      el('span', { className: 'sev-' + e.severity, text: e.severity }), e.text, e.user || ''],
  },
  audit: {
    path: 'audit',
    items: 'records',
    choice: ['f-action', 'action', ['login', 'login_failed', 'logout', 'command', 'refused']],
    fields: ['user', 'action', 'mainframe', 'since', 'until'],
    row: (r, link) => [timeElement(r.time), r.user || '—', r.role || '—', r.address, r.action.replace('_', ' '),
      r.mainframe ? link(r.mainframe) : '—', r.command || '—',
      el('span', { className: r.ok ? '' : 'sev-critical', text: (!r.ok && r.action === 'command' ? 'failed: ' : '') + r.result })],
  },
};
const view = VIEWS[kind];
const form = $('filters');
let names = new Map();
let cursors = []; // the "before" of each page shown so far; null for the first
let next = null;

function link(mainframe) {
  return el('a', { href: '/mainframes/' + encodeURIComponent(mainframe), text: names.get(mainframe) || mainframe });
}

// datetime-local values are local times; the API takes ISO 8601 in UTC.
function toIso(local) {
  if (!local) return '';
  const d = new Date(local);
  return Number.isNaN(d.getTime()) ? '' : d.toISOString();
}

function query() {
  const q = new URLSearchParams();
  for (const f of view.fields) {
    const value = form.elements[f].value.trim();
    if (!value) continue;
    q.set(f, f === 'since' || f === 'until' ? toIso(value) : value);
  }
  return q;
}

async function show(before) {
  const q = query();
  const csv = new URLSearchParams(q);
  csv.set('format', 'csv');
  csv.set('limit', '1000');
  $('csv').href = '/api/v1/' + view.path + '?' + csv;
  q.set('limit', String(PAGE));
  if (before) q.set('before', String(before));
  const result = await api(view.path + '?' + q);
  const message = $('message');
  if (result.status !== 200 || !result.data) {
    message.hidden = false;
    setText(message, 'Could not read: ' + errorText(result));
    return;
  }
  message.hidden = true;
  const items = result.data[view.items];
  const body = $('records');
  body.replaceChildren(...items.map((item) => el('tr', {}, ...view.row(item, link).map((c) => el('td', {}, c)))));
  if (items.length === 0) {
    const cols = document.querySelectorAll('thead th').length;
    body.append(el('tr', {}, el('td', { colSpan: cols, className: 'empty', text: 'Nothing matches.' })));
  }
  next = result.data.next_before;
  $('older').disabled = next === null || next === undefined;
  $('newer').disabled = cursors.length <= 1;
  setText($('page-info'), 'Page ' + cursors.length + (items.length ? ', ' + items.length + ' shown' : ''));
}

function fromAddress() {
  const q = new URLSearchParams(location.search);
  for (const f of view.fields) {
    const value = q.get(f);
    if (value !== null && form.elements[f]) form.elements[f].value = value;
  }
}

function restart() {
  const q = new URLSearchParams();
  for (const f of view.fields) if (form.elements[f].value) q.set(f, form.elements[f].value);
  history.replaceState(null, '', location.pathname + (q.size ? '?' + q : ''));
  cursors = [null];
  show(null);
}

form.addEventListener('submit', (event) => {
  event.preventDefault();
  restart();
});
$('older').addEventListener('click', () => {
  if (next === null) return;
  cursors.push(next);
  show(next);
});
$('newer').addEventListener('click', () => {
  if (cursors.length <= 1) return;
  cursors.pop();
  show(cursors[cursors.length - 1]);
});

await startPage(kind);
const [selectId, , values] = view.choice;
for (const v of values) $(selectId).append(el('option', { value: v, text: v.replaceAll('_', ' ') }));
const fleet = await api('mainframes');
if (fleet.status === 200) {
  names = new Map(fleet.data.mainframes.map((m) => [m.id, m.name || m.id]));
  for (const m of fleet.data.mainframes) $('f-mainframe').append(el('option', { value: m.id, text: m.name || m.id }));
}
fromAddress();
restart();
