// Test-only: the set-up every browser test shares, torn down in reverse order on every way out (a failed
// check, an exception, a signal, the test's own deadline): simulators on ptys, the bridge, a throw-away web
// server, chromedriver with headless Chromium. Ends only the processes it started, by their PIDs.
//
//   await withFixture(async (fx) => {
//     const com1 = await fx.simulator('com1', ['--pace']);        // {link, pid, transcript}
//     const bridge = await fx.bridge({com1: com1.link});
//     const browser = await fx.browser();
//     await browser.addScriptOnNewDocument(standinSource(bridge.standinConfig([{name: 'com1', ...}])));
//     ...
//   }, {deadlineMs: 100000});
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { standinSource, startBridge } from '../../tools/web-bridge/bridge.mjs';
import { startBrowser } from '../../tools/web-bridge/webdriver.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export const simulatorPath = () =>
  process.env.BRAE_SIM ?? path.resolve(here, '../../build/bin/brae-indicator-sim');

async function waitUntil(pred, ms, what) {
  const end = Date.now() + ms;
  while (!pred()) {
    if (Date.now() > end) throw new Error(`${what} within ${ms} ms`);
    await sleep(20);
  }
}

// An adapter's USB ids (an FTDI's), granted to the page earlier: getPorts() lists it.
export const FTDI = { usbVendorId: 0x0403, usbProductId: 0x6001, granted: true };

// Each check's line and the test's end: "LABEL: N passed, M failed", exit code 1 on a failure.
export function checks(label) {
  let passed = 0;
  let failed = 0;
  return {
    // value: truthy when right, or {ok, text} with what was seen.
    check(name, value, shown = '') {
      const { ok, text } = value?.text === undefined ? { ok: value, text: shown } : value;
      ok ? passed++ : failed++;
      console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${text ? `: ${text}` : ''}`);
    },
    end() {
      console.log(`${label}: ${passed} passed, ${failed} failed`);
      process.exit(failed ? 1 : 0);
    },
  };
}

// Ends the test, saying what to build, unless each of the web build's files is there.
export function needBuilt(label, ...files) {
  const missing = files.find((f) => !fs.existsSync(f));
  if (!missing) return;
  console.log(`${label}: no ${missing}: build it first (cmake --preset web && cmake --build --preset web)`);
  process.exit(1);
}

// Waits in the page for pred (a JavaScript expression) to hold; its last value.
export async function waitFor(browser, pred, ms, what) {
  for (const end = Date.now() + ms; ; await sleep(100)) {
    const v = await browser.execute(`return !!(${pred});`);
    if (v || Date.now() > end) {
      if (!v) console.log(`(waited ${ms} ms for ${what})`);
      return v;
    }
  }
}

// Whether the page's engine has started within ms.
export const engineStarted = (browser, ms = 20000) =>
  waitFor(browser, 'window.braeTest && window.braeTest.state.module', ms, 'the engine');

// The demo payloads in dir (a firmware of size bytes, or the default), and the page /w writes from them with
// the program and the page's template side by side, as a service department's pipeline would: dir/Demo.html.
export function writeDemoPage(dir, { program, template, size } = {}) {
  const top = path.resolve(here, '../..');
  program ??= process.env.BRAE_UPDATE ?? path.join(top, 'build/bin/brae-update');
  template ??= process.env.BRAE_PAGE ?? path.join(top, 'build-web/bin/brae-update.html');
  execFileSync(path.join(top, 'scripts/make-demo-payloads.sh'), size ? [dir, String(size)] : [dir],
    { stdio: 'ignore' });
  const prog = path.join(dir, 'prog');
  fs.mkdirSync(prog, { recursive: true });
  fs.copyFileSync(program, path.join(prog, 'brae-update'));
  fs.chmodSync(path.join(prog, 'brae-update'), 0o755);
  fs.copyFileSync(template, path.join(prog, 'brae-update.html'));
  execFileSync(path.join(prog, 'brae-update'), ['/w', 'Demo', 'demo.bin', '/l', 'demo.s19'],
    { cwd: dir, env: { ...process.env, BRAE_CONSOLE: '1', BRAE_LOG_DIR: dir }, stdio: 'ignore' });
  return path.join(dir, 'Demo.html');
}

export class Fixture {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'brae-web-'));
    this.cleanups = [];
  }

  defer(what, fn) {
    this.cleanups.push({ what, fn });
  }

  // The simulated indicator linked at dir/NAME; returns once the link is there.
  async simulator(name, args = []) {
    const link = path.join(this.dir, name);
    // A link left by a killed simulator names a dead pty, whose number another may have now.
    fs.rmSync(link, { force: true });
    const transcript = path.join(this.dir, `${name}.txt`);
    const proc = spawn(simulatorPath(), ['--link', link, '--transcript', transcript, ...args], {
      stdio: ['ignore', 'ignore', 'pipe'],
    });
    let stderr = '';
    proc.stderr.on('data', (d) => (stderr += d));
    let spawnError = null;
    const exited = new Promise((resolve) => {
      proc.once('exit', resolve);
      proc.once('error', (err) => resolve((spawnError = err)));
    });
    this.defer(`simulator ${name}`, async () => {
      if (spawnError) return;
      if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
      const timer = setTimeout(() => proc.kill('SIGKILL'), 3000);
      await exited;
      clearTimeout(timer);
    });
    await waitUntil(() => lstatIsLink(link) || proc.exitCode !== null || spawnError, 5000, `no link ${link}`);
    if (spawnError) throw new Error(`simulator ${simulatorPath()}: ${spawnError.message}`);
    if (proc.exitCode !== null) throw new Error(`simulator ${name} ended (${proc.exitCode}): ${stderr}`);
    return { link, pid: proc.pid, transcript, proc };
  }

  async bridge(ports, options = {}) {
    const bridge = await startBridge({ ports, ...options });
    this.defer('bridge', () => bridge.stop());
    return bridge;
  }

  async browser(options = {}) {
    const browser = await startBrowser({ downloadDir: path.join(this.dir, 'downloads'), ...options });
    this.defer('browser', () => browser.quit());
    return browser;
  }

  // The page (a file) in a new browser with one adapter, NAME, bridged to a new simulator started with
  // simArgs: {sim, bridge, browser, ready}, ready once the page's engine has started.
  async pageOnPort(page, name, simArgs, browserOptions = {}) {
    const sim = await this.simulator(name, simArgs);
    const bridge = await this.bridge({ [name]: sim.link });
    const browser = await this.browser(browserOptions);
    await browser.bypassCSP();
    await browser.addScriptOnNewDocument(standinSource(bridge.standinConfig([{ name, ...FTDI }])));
    await browser.navigate(pathToFileURL(page).href);
    return { sim, bridge, browser, ready: await engineStarted(browser) };
  }

  // A throw-away web server on 127.0.0.1 for the files of one folder; returns its base URL.
  async server(root, headers = {}) {
    const types = {
      '.html': 'text/html; charset=utf-8',
      '.js': 'text/javascript',
      '.wasm': 'application/wasm',
    };
    const server = http.createServer((req, res) => {
      const file = path.join(root, path.normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)));
      if (!file.startsWith(root) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
        res.writeHead(404).end();
        return;
      }
      res.writeHead(200, {
        'Content-Type': types[path.extname(file)] ?? 'application/octet-stream',
        ...headers,
      });
      fs.createReadStream(file).pipe(res);
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    this.defer(
      'web server',
      () =>
        new Promise((resolve) => {
          server.closeAllConnections();
          server.close(() => resolve());
        }),
    );
    return `http://127.0.0.1:${server.address().port}`;
  }

  // Each step bounded, so that one that hangs does not keep the rest (the processes) alive.
  async close() {
    for (const { what, fn } of this.cleanups.reverse()) {
      let timer;
      const bound = new Promise((resolve) => {
        timer = setTimeout(() => resolve(console.error(`cleanup: ${what} took over 10 s`)), 10000);
      });
      await Promise.race([
        Promise.resolve()
          .then(fn)
          .catch((e) => console.error(`cleanup: ${what}: ${e.message}`)),
        bound,
      ]);
      clearTimeout(timer);
    }
    this.cleanups = [];
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

function lstatIsLink(p) {
  try {
    return fs.lstatSync(p).isSymbolicLink();
  } catch {
    return false;
  }
}

// Runs body(fixture) and always tears the fixture down; the result is body's (an exception is rethrown).
// deadlineMs ends a test that hangs before ctest's own time-out would kill it without its clean-up.
export async function withFixture(body, { deadlineMs = 120000 } = {}) {
  const fx = new Fixture();
  let closing = null;
  const teardown = () => (closing ??= fx.close());
  const onSignal = (sig) => teardown().finally(() => process.exit(sig === 'SIGINT' ? 130 : 143));
  process.once('SIGINT', onSignal);
  process.once('SIGTERM', onSignal);
  let timer;
  const deadline = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`test deadline of ${deadlineMs} ms passed`)), deadlineMs);
  });
  try {
    return await Promise.race([body(fx), deadline]);
  } finally {
    clearTimeout(timer);
    await teardown();
    process.off('SIGINT', onSignal);
    process.off('SIGTERM', onSignal);
  }
}
