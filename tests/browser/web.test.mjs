// The cv4870-web pages in a real browser against 16 emulated mainframes:
// live fleet, the mainframe page against cv4870ctl, commands by role,
// a cut stream, a foreign origin, and axe-core on every page.
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { mkdirSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { ctl, emulators, labFolder, launch, signIn, startWeb, status, stop, until } from './lab.mjs';

const INTERVAL = 1; // seconds between polls
const artefacts = process.env.CV_ARTEFACTS || 'browser-artefacts';
const axeSource = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
let lab;
let dir;
let web;
let browser;

before(async () => {
  mkdirSync(artefacts, { recursive: true });
  lab = await emulators(16);
  dir = await labFolder(lab.targets);
  web = await startWeb(dir, ['--interval', String(INTERVAL)]);
  browser = await launch();
});

after(async () => {
  await browser?.close();
  await stop(web?.child);
  await stop(lab?.child);
  if (dir) rmSync(dir, { recursive: true, force: true });
});

const rows = (page) => page.locator('table.fleet tbody tr');
const rowOf = (page, n) => page.locator('table.fleet tbody tr', { has: page.getByRole('link', { name: 'Rack ' + n, exact: true }) });
const count = (page, what) => page.locator('#n-' + what).textContent().then(Number);
const idOf = (n) => 'rack-' + n;

function watchErrors(page) {
  const errors = [];
  page.on('console', (m) => m.type() === 'error' && !m.text().startsWith('Failed to load resource') &&
    errors.push(page.url() + ': ' + m.text()));
  page.on('pageerror', (e) => errors.push(page.url() + ': ' + e.message));
  return errors;
}

async function noSeriousViolations(page, name) {
  await page.evaluate(axeSource); // through the debugger, as the page's CSP forbids injected scripts
  const result = await page.evaluate(() => window.axe.run());
  const bad = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad.map((v) => v.id + ': ' + v.nodes.map((n) => n.target).join(' ')), [], name);
}

test('viewer: the fleet is live, a fault moves its row to the top and back without a reload', async () => {
  const page = await signIn(browser, web.url, 'viewer1');
  await until('16 rows with readings', async () =>
    (await rows(page).count()) === 16 && (await count(page, 'healthy')) === 16);
  assert.match(await page.title(), /^16 healthy/);
  await page.evaluate(() => { window.notReloaded = true; });

  // An output failure shows within two polls, a stalled fan 5 s after it slows.
  await ctl('send', lab.targets[8], 'SIM:OUTP:FAIL 3,ON');
  await until('Rack 09 on top', async () => (await rows(page).first().textContent()).includes('Rack 09'),
    2 * INTERVAL * 1000 + 2500); // two polls, and room for a loaded machine
  await assert.doesNotReject(rowOf(page, '09').getByRole('img', { name: '+5V: failed' }).waitFor({ timeout: 1000 }));
  assert.equal(await rowOf(page, '09').getByRole('img', { name: 'Output Fail: set' }).count(), 1);
  await ctl('send', lab.targets[4], 'SIM:FAN:STAL 2,ON');
  await rowOf(page, '05').getByRole('img', { name: 'Fan Fail: set' }).waitFor({ timeout: 8000 + 2 * INTERVAL * 1000 });
  const top = await rows(page).evaluateAll((trs) => trs.slice(0, 2).map((tr) => tr.querySelector('a').textContent).sort());
  assert.deepEqual(top, ['Rack 05', 'Rack 09']);
  assert.deepEqual([await count(page, 'healthy'), await count(page, 'problem')], [14, 2]);
  assert.match(await page.title(), /2 with a problem, 14 healthy/);
  await page.screenshot({ path: join(artefacts, 'web-fleet.png') }); // docs/web-fleet.png

  for (const n of [8, 4]) await ctl('send', lab.targets[n], 'SIM:CLE');
  await until('all healthy again', async () => (await count(page, 'healthy')) === 16, 15000);
  assert.equal(await rowOf(page, '09').getByRole('img', { name: 'Output Fail: clear' }).count(), 1);
  assert.equal(await page.evaluate(() => window.notReloaded), true);
  await page.context().close();
});

test('viewer: the mainframe page shows what cv4870ctl reads; commands are disabled and refused', async () => {
  const page = await signIn(browser, web.url, 'viewer1');
  await page.getByRole('link', { name: 'Rack 03', exact: true }).click();
  await page.waitForURL(web.url + '/mainframes/' + idOf('03'));
  await page.locator('#id-description').filter({ hasNotText: '—' }).waitFor();
  const s = await status(lab.targets[2]);
  const text = async (id) => page.locator('#' + id).textContent();
  assert.equal(await text('id-description'), s.identity.description);
  assert.equal(await text('id-firmware'), s.identity.firmware_revision);
  assert.equal(await text('id-ps-serial'), String(s.identity.power_supply_serial));
  assert.equal(await text('id-fan-serial'), String(s.identity.fan_tray_serial));
  assert.equal(await text('fan-nominal'), s.fans.nominal_speed_rpm + ' RPM');
  const near = (shown, want, by) => Math.abs(parseFloat(shown) - want) <= by;
  assert.ok(near(await text('temp-fan-tray'), s.temperatures.fan_tray_temperature_celsius, 1));
  assert.ok(near(await text('temp-power-supply'), s.temperatures.power_supply_temperature_celsius, 1));
  for (const [i, rpm] of s.fans.speed_rpm.entries()) assert.ok(near(await text('fan-' + (i + 1)), rpm, 60));
  const volts = await page.locator('#outputs tr td:nth-child(2)').allTextContents();
  s.outputs.forEach((o, i) => assert.ok(near(volts[i], o.voltage_volts, 0.1), o.name + ' ' + volts[i]));
  for (const [key, label] of [['main_power_on', 'Power'], ['fan_fail', 'Fan Fail']]) {
    const word = key === 'main_power_on' ? (s.status[key] ? 'on' : 'off') : s.status[key] ? 'set' : 'clear';
    assert.equal(await page.getByRole('img', { name: label + ': ' + word }).count(), 1);
  }
  for (const name of ['Power On', 'Power Off', 'SysReset', 'Reset', 'Set fan speed']) {
    assert.equal(await page.getByRole('button', { name, exact: true }).isDisabled(), true, name);
  }
  const answer = await page.evaluate(async (id) => {
    const token = (await (await fetch('/api/v1/session')).json()).csrf_token;
    const r = await fetch('/api/v1/mainframes/' + id + '/power', {
      method: 'POST', headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': token }, body: '{"state":"off"}',
    });
    return r.status;
  }, idOf('03'));
  assert.equal(answer, 403);
  assert.equal((await status(lab.targets[2])).status.main_power_on, true);
  await page.context().close();
});

test('operator: Power Off asks first, cancel sends nothing, confirm switches off; the audit names the user', async () => {
  const page = await signIn(browser, web.url, 'operator1');
  await page.goto(web.url + '/mainframes/' + idOf('07'));
  const powerOff = page.getByRole('button', { name: 'Power Off', exact: true });
  await page.getByRole('img', { name: 'Power: on' }).waitFor();
  let asked = '';
  page.once('dialog', (d) => { asked = d.message(); d.dismiss(); });
  await powerOff.click();
  assert.match(asked, /Rack 07/);
  await page.getByText('cancelled, nothing was sent').waitFor();
  assert.equal((await status(lab.targets[6])).status.main_power_on, true);

  page.once('dialog', (d) => d.accept());
  await powerOff.click();
  await page.locator('#outcome.ok').waitFor();
  assert.equal((await status(lab.targets[6])).status.main_power_on, false);
  await page.getByRole('img', { name: 'Power: off' }).waitFor({ timeout: 3000 });
  await page.screenshot({ path: join(artefacts, 'web-mainframe.png'), fullPage: true }); // docs/web-mainframe.png
  await page.getByRole('button', { name: 'Power On', exact: true }).click();
  await page.getByRole('img', { name: 'Power: on' }).waitFor({ timeout: 3000 });

  const admin = await signIn(browser, web.url, 'admin1');
  await admin.goto(web.url + '/audit?action=command&mainframe=' + idOf('07'));
  const records = admin.locator('#records tr');
  await records.first().filter({ hasText: 'operator1' }).waitFor();
  assert.equal(await records.filter({ hasText: 'power' }).count(), 2); // off, then on: the cancel sent nothing
  await page.context().close();
  await admin.context().close();
});

test('a page of another origin that posts a command gets nothing done', async () => {
  const page = await signIn(browser, web.url, 'operator1');
  const target = web.url + '/api/v1/mainframes/' + idOf('11') + '/power';
  const evil = createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<form method="post" action="${target}" enctype="text/plain"><input name='{"state":"off","x":"' value='"}'></form>
      <script>fetch(${JSON.stringify(target)}, {method: 'POST', credentials: 'include', mode: 'no-cors',
        headers: {'Content-Type': 'text/plain'}, body: '{"state":"off"}'})
        .finally(() => document.forms[0].submit());</script>`);
  });
  await new Promise((r) => evil.listen(0, '127.0.0.1', r));
  await page.goto('http://127.0.0.1:' + evil.address().port + '/');
  await page.waitForURL(target, { timeout: 5000 }).catch(() => {});
  evil.close();
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal((await status(lab.targets[10])).status.main_power_on, true);
  await page.context().close();
});

test('sign-in says why it failed: a wrong password, then throttling', async () => {
  const page = await browser.newPage();
  await page.goto(web.url + '/mainframes/' + idOf('01'));
  await page.waitForURL(/\/login/);
  const message = page.getByRole('alert');
  for (let i = 1; i <= 6; i += 1) {
    await page.getByLabel('User name').fill('nobody');
    await page.getByLabel('Password').fill('wrong ' + i);
    await page.getByRole('button', { name: 'Sign in' }).click();
    await message.filter({ hasText: i <= 5 ? 'Wrong user name or password' : /Too many failed sign-ins\. Try again in \d+/ })
      .waitFor({ timeout: 5000 });
  }
  await page.close();
});

test('every page passes axe-core in light and dark, and is saved as a screenshot', async () => {
  for (const colorScheme of ['light', 'dark']) {
    const context = await browser.newContext({ viewport: { width: 1600, height: 1000 }, colorScheme });
    const page = await context.newPage();
    const errors = watchErrors(page);
    await page.goto(web.url + '/login');
    await noSeriousViolations(page, 'login ' + colorScheme);
    await page.screenshot({ path: join(artefacts, `login-${colorScheme}.png`) });
    await context.close();
    const admin = await signIn(browser, web.url, 'admin1', { colorScheme });
    const adminErrors = watchErrors(admin);
    for (const [name, path] of [['fleet', '/'], ['mainframe', '/mainframes/' + idOf('02')], ['events', '/events'],
      ['audit', '/audit']]) {
      await admin.goto(web.url + path);
      await admin.locator('header .who .user').waitFor();
      await admin.waitForLoadState('networkidle').catch(() => {});
      await noSeriousViolations(admin, name + ' ' + colorScheme);
      await admin.screenshot({ path: join(artefacts, `${name}-${colorScheme}.png`), fullPage: true });
    }
    assert.deepEqual([...errors, ...adminErrors], []);
    await admin.context().close();
  }
});

// Last: it restarts the service.
test('a cut stream shows it is reconnecting, then recovers with what changed meanwhile', async () => {
  await stop(web.child);
  web = await startWeb(dir, ['--interval', String(INTERVAL), '--anonymous-read'], web.port);
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(web.url + '/');
  const live = page.locator('header .live');
  await live.filter({ hasText: 'Live' }).waitFor();
  await until('readings', async () => (await count(page, 'healthy')) === 16);
  await stop(web.child);
  await live.filter({ hasText: 'Reconnecting' }).waitFor({ timeout: 5000 });
  await ctl('send', lab.targets[12], 'SIM:SYSF ON');
  web = await startWeb(dir, ['--interval', String(INTERVAL), '--anonymous-read'], web.port);
  await live.filter({ hasText: 'Live' }).waitFor({ timeout: 10000 });
  await rowOf(page, '13').getByRole('img', { name: 'SysFail: set' }).waitFor({ timeout: 3 * INTERVAL * 1000 });
  assert.match(await rows(page).first().textContent(), /Rack 13/);
  await ctl('send', lab.targets[12], 'SIM:CLE');
  await context.close();
});
