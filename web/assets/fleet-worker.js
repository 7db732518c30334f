// The fleet's live stream, read off the page's main thread: parses every
// message, keeps the last row sent for each mainframe, and hands the page
// only the rows whose shown values changed, at most four times a second
// (a lone change at once).
import { rowModel } from '/assets/fleet-model.js';

const FLUSH_MS = 250;
const sent = new Map(); // id -> JSON of the row last sent
const latest = new Map(); // id -> row model
let changed = new Map();
let timer = null;
let lastFlush = 0;
let source = null;

function flush() {
  timer = null;
  lastFlush = Date.now();
  const rows = [...changed.values()];
  changed = new Map();
  if (rows.length) postMessage({ rows });
}

function offer(row) {
  latest.set(row.id, row);
  const key = JSON.stringify(row);
  if (sent.get(row.id) === key) return;
  sent.set(row.id, key);
  changed.set(row.id, row);
  if (!timer) timer = setTimeout(flush, Math.max(0, lastFlush + FLUSH_MS - Date.now()));
}

function parse(message) {
  try {
    return JSON.parse(message.data);
  } catch {
    return null;
  }
}

function open() {
  source = new EventSource('/api/v1/stream');
  source.addEventListener('open', () => postMessage({ state: 'live' }));
  source.addEventListener('error', () => {
    const closed = source.readyState === EventSource.CLOSED;
    if (closed) source.close();
    postMessage({ state: closed ? 'closed' : 'reconnecting' });
  });
  source.addEventListener('mainframe', (message) => {
    const m = parse(message);
    if (m && typeof m.id === 'string') offer(rowModel(m));
  });
  source.addEventListener('event', (message) => {
    const ev = parse(message);
    const row = ev && latest.get(ev.mainframe);
    if (row && (!row.lastEvent || ev.time > row.lastEvent)) offer({ ...row, lastEvent: ev.time });
  });
  source.addEventListener('fleet', () => postMessage({ fleet: true }));
}

// The page says which rows it shows (after loading the list) and when to
// open the stream again after the service refused it.
onmessage = (message) => {
  if (message.data.known) {
    for (const row of message.data.known) {
      latest.set(row.id, row);
      sent.set(row.id, JSON.stringify(row));
    }
  }
  if (message.data.open) open();
};
