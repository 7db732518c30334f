// What one fleet row shows, computed from a Mainframe of the API: shared by
// the fleet page and its stream worker, which sends the page only rows
// whose shown values changed.
const LINE_KEYS = ['main_power_on', 'sys_fail', 'input_fail', 'output_fail', 'sensor_fail', 'fan_fail'];
const STATE_TEXT = { down: 'Link down', critical: 'Failure', warning: 'Warning', ok: 'OK', unknown: 'Unknown' };

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

export function rowModel(m) {
  const rank = rankOf(m);
  const stateKey = rank === 0 ? 'down' : m.state in STATE_TEXT ? m.state : 'unknown';
  const stateText = rank === 2 ? 'Power off' : STATE_TEXT[stateKey];
  const row = {
    id: m.id,
    name: m.name || m.id,
    target: m.target || m.resource || '',
    rank,
    stateKey,
    stateText,
    linkError: rank === 0 && m.link && m.link.error ? m.link.error : null,
    power: '—',
    lines: LINE_KEYS.map(() => 'none'),
    fanTray: '—',
    powerSupply: '—',
    fans: '—',
    outputs: [0, 1, 2, 3, 4, 5, 6].map(() => 'none'),
    lastEvent: m.last_event || null,
  };
  const snap = m.snapshot;
  if (snap) {
    const st = snap.status;
    row.power = st.main_power_on ? 'On' : 'Off';
    row.lines = LINE_KEYS.map((k) => (st[k] ? 'on' : 'off'));
    row.fanTray = snap.temperatures.fan_tray_temperature_celsius + ' °C';
    row.powerSupply = snap.temperatures.power_supply_temperature_celsius + ' °C';
    row.fans = snap.fans.speed_rpm.join(' / ');
    row.outputs = row.outputs.map((_, i) => {
      const o = snap.outputs[i];
      if (!o) return 'none';
      return o.ok ? 'on' : st.main_power_on ? 'fail' : 'off';
    });
  }
  return row;
}
