// The fleet page with 1,000 emulated mainframes in headless chromium:
// time to the first full table, time from a change in an emulator to the
// changed lamp in the page (p50, p99), main-thread time per update, and the
// page's memory after a few minutes. Bounded: every phase has a deadline.
//
//   CV_WEB=... CV_EMULATOR=... CV_CTL=... node bench/browser/bench.mjs [--count N]
//       [--interval S] [--changes N] [--minutes M]
import { rmSync } from 'node:fs';
import { connect } from 'node:net';
import { parseArgs } from 'node:util';
import { emulators, labFolder, launch, signIn, startWeb, stop, until } from '../../tests/browser/lab.mjs';

const { values: opt } = parseArgs({
  options: {
    count: { type: 'string', default: '1000' },
    interval: { type: 'string', default: '2' },
    changes: { type: 'string', default: '40' },
    minutes: { type: 'string', default: '3' },
  },
});
const count = Number(opt.count);
const pct = (xs, p) => xs.slice().sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((xs.length * p) / 100))];
const ms = (x) => x.toFixed(1) + ' ms';
const mb = (x) => (x / 1048576).toFixed(1) + ' MiB';

function send(target, line) {
  const [host, port] = target.split(':');
  return new Promise((resolve, reject) => {
    const socket = connect(Number(port), host, () => socket.end(line + '\n', () => resolve(Date.now())));
    socket.setTimeout(5000, () => socket.destroy(new Error('send timed out')));
    socket.on('error', reject);
  });
}

const lab = await emulators(count, ['--max-clients', '8']);
const dir = await labFolder(lab.targets);
const web = await startWeb(dir, ['--interval', opt.interval]);
const browser = await launch();
try {
  const page = await signIn(browser, web.url, 'viewer1');
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Performance.enable');
  await until('every mainframe read once', async () =>
    (await page.locator('#n-healthy').textContent()) === String(count), 120000, 500);

  // First full table, the service warm: navigation start to the built table.
  const loads = [];
  for (let i = 0; i < 5; i += 1) {
    await page.reload();
    await page.waitForFunction(() => window.cvFleet && window.cvFleet.ready > 0, null, { timeout: 30000 });
    loads.push(await page.evaluate(() => window.cvFleet.ready));
  }
  const rows = await page.locator('table.fleet tbody tr').count();

  // Change to screen: a SysFail set (then cleared) on one mainframe, seen
  // when its lamp's name changes.
  await page.evaluate(() => {
    window.seen = new Map();
    new MutationObserver((records) => {
      for (const r of records) {
        const label = r.target.getAttribute('aria-label') || '';
        if (label.startsWith('SysFail')) window.seen.set(r.target.closest('tr').dataset.id + ' ' + label, Date.now());
      }
    }).observe(document.getElementById('rows'), { subtree: true, attributeFilter: ['aria-label'] });
  });
  const delays = [];
  for (let i = 0; delays.length < Number(opt.changes); i += 1) {
    const n = (i * 379) % count;
    const id = 'rack-' + String(n + 1).padStart(String(count).length, '0');
    for (const [word, value] of [['set', 'ON'], ['clear', 'OFF']]) {
      const sent = await send(lab.targets[n], 'SIM:SYSF ' + value);
      const key = id + ' SysFail: ' + word;
      const shown = await page.waitForFunction((k) => window.seen.get(k), key, { timeout: 30000, polling: 20 });
      delays.push((await shown.jsonValue()) - sent);
    }
  }

  // Main-thread time per update over a quiet minute of live updates.
  const metric = async () => Object.fromEntries((await cdp.send('Performance.getMetrics')).metrics.map((m) => [m.name, m.value]));
  const before = await metric();
  const updates0 = await page.evaluate(() => window.cvFleet.updates);
  await new Promise((r) => setTimeout(r, 30000));
  const after = await metric();
  const updates = (await page.evaluate(() => window.cvFleet.updates)) - updates0;
  const task = (after.TaskDuration - before.TaskDuration) * 1000;
  const script = (after.ScriptDuration - before.ScriptDuration) * 1000;
  const layout = (after.LayoutDuration + after.RecalcStyleDuration - before.LayoutDuration - before.RecalcStyleDuration) * 1000;

  // Memory: now and after the given minutes of live updates.
  const heap = async () => {
    await cdp.send('HeapProfiler.collectGarbage');
    const m = await metric();
    return { heap: m.JSHeapUsedSize, nodes: m.Nodes, listeners: m.JSEventListeners };
  };
  const early = await heap();
  await new Promise((r) => setTimeout(r, Number(opt.minutes) * 60000));
  const late = await heap();

  console.log(`fleet of ${count} mainframes, ${rows} rows, poll interval ${opt.interval} s`);
  console.log(`first full table (navigation start to built), median of ${loads.length}: ${ms(pct(loads, 50))} (${loads.map((x) => x.toFixed(0)).join(', ')})`);
  console.log(`change to screen over ${delays.length} changes: p50 ${ms(pct(delays, 50))}, p99 ${ms(pct(delays, 99))}, min ${ms(Math.min(...delays))}`);
  console.log(`main thread over 30 s with ${updates} updates: ${(task / updates * 1000).toFixed(1)} µs per update (script ${(script / updates * 1000).toFixed(1)} µs, style and layout ${(layout / updates * 1000).toFixed(1)} µs), ${(task / 30000 * 100).toFixed(1)} % busy`);
  console.log(`page memory after GC: ${mb(early.heap)} JS heap, ${early.nodes} DOM nodes; after ${opt.minutes} more minutes: ${mb(late.heap)}, ${late.nodes} nodes, ${late.listeners} listeners`);
} finally {
  await browser.close();
  await stop(web.child);
  await stop(lab.child);
  rmSync(dir, { recursive: true, force: true });
}
