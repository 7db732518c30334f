// A lab on loopback for the browser tests and benchmarks: emulated
// mainframes, cv4870-web with its users, cv4870ctl, and Debian's chromium
// driven by playwright-core. Every wait has a deadline.
import { execFile, spawn } from 'node:child_process';
import { mkdtempSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

export const bin = {
  web: process.env.CV_WEB,
  emulator: process.env.CV_EMULATOR,
  ctl: process.env.CV_CTL,
};
export const PASSWORD = 'lab-test-password';
const children = new Set();
process.on('exit', () => {
  for (const child of children) child.kill('SIGKILL');
});

// Starts a program and resolves with it and its stdout lines once a line
// matches `until`.
export function start(file, args, until, { env = process.env, ms = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(file, args, { env, stdio: ['ignore', 'pipe', 'inherit'] });
    children.add(child);
    child.on('exit', () => children.delete(child));
    const lines = [];
    let rest = '';
    const timer = setTimeout(() => reject(new Error(file + ' did not start: ' + lines.join(' | '))), ms);
    child.on('exit', (code) => reject(new Error(file + ' ended with ' + code + ': ' + lines.join(' | '))));
    child.stdout.on('data', (chunk) => {
      const parts = (rest + chunk).split('\n');
      rest = parts.pop();
      lines.push(...parts);
      if (parts.some((l) => until.test(l))) {
        clearTimeout(timer);
        resolve({ child, lines });
      }
    });
  });
}

export function stop(child) {
  if (!child || child.exitCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill('SIGTERM');
  });
}

export function run(file, args, { input, ms = 15000, env } = {}) {
  return new Promise((resolve) => {
    const child = execFile(file, args, { timeout: ms, env }, (error, stdout, stderr) =>
      resolve({ code: error ? error.code ?? 1 : 0, stdout, stderr }));
    if (input !== undefined) child.stdin.end(input);
  });
}

export async function ctl(...args) {
  return run(bin.ctl, args);
}

export async function status(target) {
  const r = await ctl('status', target, '--json');
  return JSON.parse(r.stdout);
}

export async function until(what, fn, ms = 15000, every = 100) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, every));
  }
}

// count emulated mainframes, named "Rack N"; targets[i] = '127.0.0.1:port'.
export async function emulators(count, extra = []) {
  const { child, lines } = await start(bin.emulator,
    ['--port', '0', '--count', String(count), '--spread', 'port', '--ready', '--simulation', ...extra], /^READY/);
  const targets = lines.filter((l) => l.startsWith('LISTENING')).map((l) => '127.0.0.1:' + l.split(' ')[3]);
  return { child, targets };
}

// A state folder with the targets file and one user per role
// (viewer1, operator1, admin1).
export async function labFolder(targets) {
  const dir = mkdtempSync(join(tmpdir(), 'cv4870-web-'));
  const pad = String(targets.length).length;
  writeFileSync(join(dir, 'targets'),
    targets.map((t, i) => t + '  Rack ' + String(i + 1).padStart(pad, '0') + '\n').join(''));
  for (const role of ['viewer', 'operator', 'admin']) {
    const r = await run(bin.web, ['user', 'add', role + '1', '--role', role, '--users', join(dir, 'users')],
      { input: PASSWORD + '\n' });
    if (r.code !== 0) throw new Error('user add failed: ' + r.stderr);
  }
  return dir;
}

export async function startWeb(dir, extra = [], port = 0) {
  const env = { ...process.env, HOME: dir, XDG_CONFIG_HOME: dir, XDG_STATE_HOME: dir };
  const { child, lines } = await start(bin.web, ['--listen', '127.0.0.1:' + port, '--targets', join(dir, 'targets'),
    '--users', join(dir, 'users'), '--db', join(dir, 'web.db'), '--ready', ...extra], /^LISTENING/, { env });
  const line = lines.find((l) => l.startsWith('LISTENING'));
  return { child, port: Number(line.split(' ')[2]), url: 'http://127.0.0.1:' + line.split(' ')[2] };
}

export function launch() {
  return chromium.launch({
    executablePath: process.env.CV_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
}

export async function signIn(browser, url, user, options = {}) {
  const context = await browser.newContext({ viewport: { width: 1600, height: 1000 }, ...options });
  const page = await context.newPage();
  await page.goto(url + '/login');
  await page.getByLabel('User name').fill(user);
  await page.getByLabel('Password').fill(PASSWORD);
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.waitForURL(url + '/');
  return page;
}
