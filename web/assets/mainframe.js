// One mainframe, as the desktop panel shows it, kept live by a stream that
// follows only this mainframe (so the service polls it every 0.5 s), with
// the commands for operators, recent events and a chart of the history.
import {
  STATUS_LINES, api, el, errorText, fullTime, led, mayCommand, openStream, outputState, setLed, setText,
  shortTime, startPage, timeElement,
} from '/assets/app.js';
import { drawChart } from '/assets/chart.js';

const id = decodeURIComponent(location.pathname.replace(/^\/mainframes\//, '').replace(/\/$/, ''));
const $ = (x) => document.getElementById(x);
const STATE_TEXT = { down: 'Link down', critical: 'Failure', warning: 'Warning', ok: 'OK', unknown: 'Unknown' };
const EVENT_LIMIT = 30;

let current = null;
let session = null;
const lines = new Map();
const outputs = [];

function buildStatic() {
  const box = $('lines');
  for (const [key, label] of STATUS_LINES) {
    const node = led(key === 'main_power_on' ? 'good' : 'fail');
    const text = el('span', { text: '' });
    lines.set(key, { node, text, label });
    box.append(el('span', { className: 'label', text: label }), el('span', { className: 'lamps' }, node, text));
  }
}

function ensureOutputs(list) {
  if (outputs.length === list.length) return;
  const body = $('outputs');
  body.replaceChildren();
  outputs.length = 0;
  for (const o of list) {
    const row = {
      volts: el('td', { className: 'num' }),
      amps: el('td', { className: 'num' }),
      node: led('output'),
      text: el('span'),
      name: o.name,
    };
    outputs.push(row);
    body.append(el('tr', {}, el('th', { scope: 'row', text: o.name }), row.volts, row.amps,
      el('td', { className: 'st' }, el('span', { className: 'lamps' }, row.node, row.text))));
  }
}

function show(m) {
  current = m;
  setText($('name'), m.name || m.id);
  const down = m.state === 'down' || (m.link && m.link.up === false);
  const key = down ? 'down' : m.state in STATE_TEXT ? m.state : 'unknown';
  const state = $('state');
  const powerOff = !down && m.snapshot && m.snapshot.status.main_power_on === false;
  setText(state, powerOff && key === 'warning' ? 'Power off' : STATE_TEXT[key]);
  state.className = 'state state-' + key;
  setText($('address'), m.target || '');
  const title = (m.name || m.id) + ' · Ostrel 4870';
  if (document.title !== title) document.title = title;

  const banner = $('message');
  if (down) {
    banner.hidden = false;
    setText(banner, 'The link is down' + (m.link.error ? ': ' + m.link.error : '') +
      (m.snapshot ? '. The values below are the last good reading, of ' + fullTime(m.snapshot.time) + '.' : '.'));
  } else {
    banner.hidden = true;
  }
  setText($('id-resource'), m.resource || '—');
  setText($('id-link'), (m.link && m.link.up ? 'up' : 'down') + (m.link && m.link.since ? ' since ' + shortTime(m.link.since) : ''));

  const snap = m.snapshot;
  if (!snap) {
    for (const { node, text, label } of lines.values()) {
      setLed(node, label, 'none');
      setText(text, '—');
    }
    return;
  }
  setText($('id-time'), shortTime(snap.time));
  addLiveSample(snap);
  const st = snap.status;
  for (const [k, { node, text, label }] of lines) {
    setLed(node, label, st[k] ? 'on' : 'off');
    setText(text, k === 'main_power_on' ? (st[k] ? 'On' : 'Off') : st[k] ? 'Set' : 'Clear');
  }
  const f = snap.fans;
  setText($('fan-nominal'), f.nominal_speed_rpm === 0 ? 'Off' : f.nominal_speed_rpm + ' RPM');
  f.speed_rpm.forEach((rpm, i) => setText($('fan-' + (i + 1)), rpm + ' RPM'));
  const fanInput = $('fan-rpm');
  if (document.activeElement !== fanInput && fanInput.dataset.shown !== String(f.nominal_speed_rpm)) {
    fanInput.value = String(f.nominal_speed_rpm);
    fanInput.dataset.shown = String(f.nominal_speed_rpm);
  }
  setText($('temp-fan-tray'), snap.temperatures.fan_tray_temperature_celsius + ' °C');
  setText($('temp-power-supply'), snap.temperatures.power_supply_temperature_celsius + ' °C');

  const idn = snap.identity;
  setText($('id-description'), idn.description || '—');
  setText($('id-firmware'), idn.firmware_revision || '—');
  setText($('id-ps-serial'), String(idn.power_supply_serial));
  setText($('id-fan-serial'), String(idn.fan_tray_serial));

  ensureOutputs(snap.outputs);
  snap.outputs.forEach((o, i) => {
    const row = outputs[i];
    setText(row.volts, o.voltage_volts.toFixed(2) + ' V');
    setText(row.amps, o.current_amperes.toFixed(2) + ' A');
    const s = outputState(o, st.main_power_on);
    setLed(row.node, o.name, s);
    setText(row.text, { on: 'Good', fail: 'Failed', off: 'Off' }[s]);
  });
}

// Events: the newest first, at most EVENT_LIMIT kept.
function eventItem(ev) {
  const who = ev.user && !ev.text.includes(ev.user) ? ' (' + ev.user + ')' : '';
  return el('li', { 'data-id': String(ev.id) }, timeElement(ev.time),
    el('span', { className: 'sev-' + ev.severity, text: ev.text + who }));
}

function isPowerOperation(ev) {
  return ev.kind === 'power_on' || ev.kind === 'power_off' || (ev.kind === 'command' && ev.subject === 'power');
}

function addEvent(ev) {
  if (!ev || ev.mainframe !== id) return;
  for (const [list, wanted] of [[$('events'), true], [$('power-ops'), isPowerOperation(ev)]]) {
    if (!wanted || list.querySelector('li[data-id="' + Number(ev.id) + '"]')) continue;
    list.querySelector('li.empty')?.remove();
    list.prepend(eventItem(ev));
    while (list.children.length > EVENT_LIMIT) list.lastChild.remove();
  }
}

function fillList(list, events, emptyText) {
  list.replaceChildren(...events.map(eventItem));
  if (events.length === 0) list.append(el('li', { className: 'empty note', text: emptyText }));
}

async function loadEvents() {
  const q = 'events?mainframe=' + encodeURIComponent(id);
  const [recent, power] = await Promise.all([
    api(q + '&limit=' + EVENT_LIMIT),
    api(q + '&kind=power_on,power_off,command&limit=100'),
  ]);
  if (recent.status === 200) fillList($('events'), recent.data.events, 'No events stored.');
  if (power.status === 200) {
    fillList($('power-ops'), power.data.events.filter(isPowerOperation).slice(0, EVENT_LIMIT), 'No power operations stored.');
  }
}

// The chart: the stored history (one sample a minute), then a live sample
// every LIVE_MS while the page is open.
const CHART_MS = 6 * 3600 * 1000;
const LIVE_MS = 5000;
let samples = [];

async function loadHistory() {
  const since = new Date(Date.now() - CHART_MS).toISOString();
  const result = await api('mainframes/' + encodeURIComponent(id) + '/history?since=' + encodeURIComponent(since));
  if (result.status !== 200) {
    $('charts').replaceChildren(el('p', { className: 'note', text: 'The history could not be read: ' + errorText(result) }));
    return;
  }
  samples = result.data.samples;
  drawCharts();
}

function addLiveSample(snap) {
  const last = samples[samples.length - 1];
  if (last && Date.parse(snap.time) - Date.parse(last.time) < LIVE_MS) return;
  samples.push({
    time: snap.time,
    fan_tray_celsius: snap.temperatures.fan_tray_temperature_celsius,
    power_supply_celsius: snap.temperatures.power_supply_temperature_celsius,
    fan_nominal_rpm: snap.fans.nominal_speed_rpm,
    fan_rpm: snap.fans.speed_rpm,
  });
  const start = Date.now() - CHART_MS;
  while (samples.length && Date.parse(samples[0].time) < start) samples.shift();
  drawCharts();
}

function drawCharts() {
  const box = $('charts');
  if (samples.length === 0) {
    box.replaceChildren(el('p', { className: 'note', text: 'No readings yet.' }));
    return;
  }
  const times = samples.map((s) => Date.parse(s.time));
  box.replaceChildren(
    drawChart('Temperatures', '°C', times, [
      ['Fan tray', samples.map((s) => s.fan_tray_celsius)],
      ['Power supply', samples.map((s) => s.power_supply_celsius)],
    ]),
    drawChart('Fan speeds', 'rpm', times, [
      ['Fan #1', samples.map((s) => s.fan_rpm[0])],
      ['Fan #2', samples.map((s) => s.fan_rpm[1])],
      ['Fan #3', samples.map((s) => s.fan_rpm[2])],
      ['Nominal', samples.map((s) => s.fan_nominal_rpm)],
    ], [2, 3, 4, 5]),
  );
}

// Commands: Power Off and Reset ask first, naming the mainframe.
const COMMANDS = [
  ['cmd-power-on', 'power', { state: 'on' }, null],
  ['cmd-power-off', 'power', { state: 'off' }, (name) => 'Switch off the main power of ' + name + '?'],
  ['cmd-sysreset', 'sysreset', {}, null],
  ['cmd-reset', 'reset', {}, (name) => 'Reset ' + name + ' (*RST)? Its settings return to their defaults.'],
];

function setControls(enabled) {
  for (const node of document.querySelectorAll('.controls button, .controls input')) node.disabled = !enabled;
}

async function run(command, body, label) {
  const outcome = $('outcome');
  outcome.className = 'outcome';
  setText(outcome, label + ': sending…');
  setControls(false);
  const result = await api('mainframes/' + encodeURIComponent(id) + '/' + command, { method: 'POST', body });
  setControls(true);
  const ok = result.status === 200 && result.data && result.data.ok;
  outcome.className = 'outcome ' + (ok ? 'ok' : 'error');
  setText(outcome, label + ': ' + (ok ? result.data.result || 'done' : 'failed: ' + errorText(result)) +
    ' (' + shortTime(new Date().toISOString()) + ')');
}

function wireCommands() {
  for (const [button, command, body, ask] of COMMANDS) {
    const node = $(button);
    node.addEventListener('click', () => {
      const name = current ? current.name || current.id : id;
      if (ask && !window.confirm(ask(name))) {
        setText($('outcome'), node.textContent + ': cancelled, nothing was sent.');
        $('outcome').className = 'outcome';
        return;
      }
      run(command, body, node.textContent);
    });
  }
  $('fan-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const rpm = Number($('fan-rpm').value);
    if (!Number.isInteger(rpm) || (rpm !== 0 && (rpm < 1200 || rpm > 3600))) {
      $('outcome').className = 'outcome error';
      setText($('outcome'), 'Fan speed: 0 (off) or 1200 to 3600 rpm.');
      return;
    }
    run('fan', { rpm }, 'Fan speed ' + (rpm === 0 ? 'off' : rpm + ' rpm'));
  });
}

buildStatic();
session = await startPage('mainframe');
const first = await api('mainframes/' + encodeURIComponent(id));
if (first.status !== 200) {
  setText($('name'), first.status === 404 ? 'No mainframe "' + id + '"' : 'Mainframe');
  $('message').hidden = false;
  setText($('message'), first.status === 404 ? 'This mainframe is not in the targets file.' : errorText(first));
  setControls(false);
} else {
  show(first.data);
  if (mayCommand(session)) {
    wireCommands();
  } else {
    setControls(false);
    setText($('controls-note'), 'Commands need an operator: you are signed in as ' +
      (session.user ? session.user + ' (' + session.role + ')' : 'an anonymous reader') + '.');
  }
  loadEvents();
  await loadHistory();
  show(first.data);
  openStream('?mainframes=' + encodeURIComponent(id), {
    mainframe: (m) => {
      if (m.id === id) show(m);
    },
    event: addEvent,
    reopened: loadEvents,
  });
}
