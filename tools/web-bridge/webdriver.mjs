// Test-only: a small WebDriver client over fetch for chromedriver and headless Chromium, with the Chromium
// DevTools commands the page tests need (through chromedriver's /goog/cdp/execute).
//
//   const browser = await startBrowser({downloadDir});
//   await browser.addScriptOnNewDocument(source);  await browser.bypassCSP();  await browser.navigate(url);
//   const v = await browser.executeAsync('const done = arguments[arguments.length - 1]; ...', [args]);
//   await browser.screenshot(file);  await browser.waitForDownload('name.bin');  await browser.quit();
import { spawn } from 'node:child_process';
import dns from 'node:dns/promises';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// The switches chromedriver adds that make a hidden or background page run as fast as a visible one.
const UNTHROTTLED = [
  'disable-background-timer-throttling',
  'disable-backgrounding-occluded-windows',
  'disable-renderer-backgrounding',
];

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

// Ends chromedriver and whatever it left in its process group (the browser and its helpers, which it
// started), by that group's id: the group is chromedriver's own, made for it at spawn.
async function endGroup(pgid, ms = 3000) {
  for (const signal of ['SIGTERM', 'SIGKILL']) {
    try {
      process.kill(-pgid, signal);
    } catch {
      return;
    }
    const end = Date.now() + ms;
    while (Date.now() < end) {
      if (!alive(-pgid)) return;
      await sleep(50);
    }
  }
}

class Browser {
  constructor(driver, base, session, opts) {
    this.driver = driver;
    this.base = base;
    this.session = session;
    this.opts = opts;
    this.commandTimeoutMs = opts.commandTimeoutMs;
  }

  // One WebDriver command, bounded: a page that never answers fails the call instead of the test's time.
  async command(method, route, body, ms = this.commandTimeoutMs) {
    const url = `${this.base}/session/${this.session}${route}`;
    let res;
    try {
      res = await fetch(url, {
        method,
        headers: { 'Content-Type': 'application/json' },
        body: body === undefined ? undefined : JSON.stringify(body),
        signal: AbortSignal.timeout(ms),
      });
    } catch (err) {
      const why = err.name === 'TimeoutError' ? `no answer in ${ms} ms` : err.message;
      throw new Error(`webdriver ${method} ${route}: ${why}`);
    }
    const json = await res.json();
    if (!res.ok) {
      const e = new Error(`webdriver ${method} ${route}: ${json.value?.error}: ${json.value?.message}`);
      e.webdriverError = json.value?.error;
      throw e;
    }
    return json.value;
  }

  navigate(url) {
    return this.command('POST', '/url', { url });
  }

  // The page's script runs as a function body; the result is returned (and must be JSON-serialisable).
  execute(script, args = []) {
    return this.command('POST', '/execute/sync', { script, args });
  }

  // The last argument is the callback; the call fails when it is not called within scriptTimeoutMs.
  async executeAsync(script, args = [], scriptTimeoutMs = 30000) {
    await this.command('POST', '/timeouts', { script: scriptTimeoutMs });
    return this.command('POST', '/execute/async', { script, args }, scriptTimeoutMs + 5000);
  }

  cdp(cmd, params = {}) {
    return this.command('POST', '/goog/cdp/execute', { cmd, params });
  }

  // Runs `source` in every new document of this tab before the page's own scripts.
  addScriptOnNewDocument(source) {
    return this.cdp('Page.addScriptToEvaluateOnNewDocument', { source });
  }

  // The shipped page's Content-Security-Policy forbids every connection, the bridge's too: a test that
  // injects the stand-in must turn it off for this tab (before navigating).
  bypassCSP(enabled = true) {
    return this.cdp('Page.setBypassCSP', { enabled });
  }

  async find(css) {
    const v = await this.command('POST', '/element', { using: 'css selector', value: css });
    return Object.values(v)[0];
  }

  // A real click (trusted input, with user activation, as a person's).
  async click(css) {
    const id = await this.find(css);
    return this.command('POST', `/element/${id}/click`, {});
  }

  // Chooses a file in an <input type=file>, as the technician's file dialog would.
  async chooseFile(css, file) {
    const id = await this.find(css);
    return this.command('POST', `/element/${id}/value`, { text: file });
  }

  async screenshot(file) {
    const b64 = await this.command('GET', '/screenshot');
    fs.writeFileSync(file, Buffer.from(b64, 'base64'));
    return file;
  }

  // A file the page downloaded into downloadDir, once it is complete (Chromium writes a .crdownload first).
  async waitForDownload(name, ms = 10000) {
    const file = path.join(this.opts.downloadDir, name);
    const end = Date.now() + ms;
    while (Date.now() < end) {
      if (fs.existsSync(file) && !fs.existsSync(`${file}.crdownload`)) return file;
      await sleep(50);
    }
    throw new Error(`no download ${name} in ${this.opts.downloadDir} within ${ms} ms`);
  }

  async quit() {
    try {
      await this.command('DELETE', '', undefined, 10000);
    } catch {}
    this.driver.kill('SIGTERM');
    await endGroup(this.driver.pid);
    fs.rmSync(this.opts.profileDir, { recursive: true, force: true });
  }
}

// chromedriver reaches the browser it started by the name "localhost": where that name does not resolve (a
// bare root without /etc/hosts), the session fails with "unable to connect to renderer", which says nothing.
async function localhostHint() {
  try {
    await dns.lookup('localhost');
    return '';
  } catch (err) {
    return ` (the name localhost does not resolve here: ${err.code}; chromedriver reaches Chromium by it, ` +
      'so give /etc/hosts its line "127.0.0.1 localhost")';
  }
}

// Starts chromedriver on a port of its choosing and a headless Chromium session.
//   downloadDir: where downloads land (required for waitForDownload)
//   keepThrottling: true keeps the browser's own background-timer throttling, which chromedriver turns off
//   args: more Chromium switches; binary, driver: the programs
export async function startBrowser(options = {}) {
  const opts = {
    binary: '/usr/lib/chromium/chromium',
    driver: '/usr/bin/chromedriver',
    keepThrottling: false,
    args: [],
    commandTimeoutMs: 30000,
    startTimeoutMs: 20000,
    ...options,
  };
  // The profile, and the download folder unless given, are the session's own and go with it.
  opts.profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'brae-chromium-'));
  opts.downloadDir ??= path.join(opts.profileDir, 'downloads');
  fs.mkdirSync(opts.downloadDir, { recursive: true });
  // Its own process group, so that the browser it starts can be ended with it even when it leaves it behind.
  const driver = spawn(opts.driver, ['--port=0'], { detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  const fail = async (err) => {
    driver.kill('SIGKILL');
    await endGroup(driver.pid);
    fs.rmSync(opts.profileDir, { recursive: true, force: true });
    throw err;
  };
  let port;
  try {
    port = await new Promise((resolve, reject) => {
      let out = '';
      const timer = setTimeout(
        () => reject(new Error(`chromedriver did not start: ${out}`)),
        opts.startTimeoutMs,
      );
      driver.stdout.on('data', (d) => {
        out += d;
        const m = /started successfully on port (\d+)/.exec(out);
        if (m) {
          clearTimeout(timer);
          resolve(Number(m[1]));
        }
      });
      driver.once('exit', (code) => reject(new Error(`chromedriver ended (${code}): ${out}`)));
      driver.once('error', (err) => reject(new Error(`chromedriver ${opts.driver}: ${err.message}`)));
    });
  } catch (err) {
    return fail(err);
  }
  driver.stdout.resume();
  driver.stderr.resume();
  const base = `http://127.0.0.1:${port}`;
  const args = [
    '--headless=new',
    `--user-data-dir=${opts.profileDir}`,
    '--window-size=1280,900',
    '--disable-dev-shm-usage',
    ...opts.args,
  ];
  if (process.getuid?.() === 0) args.push('--no-sandbox');
  const caps = {
    browserName: 'chrome',
    'goog:chromeOptions': {
      binary: opts.binary,
      args,
      prefs: {
        'download.default_directory': opts.downloadDir,
        'download.prompt_for_download': false,
        'download.directory_upgrade': true,
      },
      excludeSwitches: opts.keepThrottling ? UNTHROTTLED : [],
    },
  };
  let res;
  try {
    res = await fetch(`${base}/session`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ capabilities: { alwaysMatch: caps } }),
      signal: AbortSignal.timeout(opts.startTimeoutMs),
    });
  } catch (err) {
    return fail(new Error(`no browser session: ${err.message}`));
  }
  const json = await res.json();
  if (!res.ok || json.value?.error) {
    return fail(new Error(`no browser session: ${json.value?.message}${await localhostHint()}`));
  }
  const browser = new Browser(driver, base, json.value.sessionId, opts);
  // A headless browser otherwise asks (invisibly) where to save.
  await browser
    .cdp('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: opts.downloadDir })
    .catch(() => {});
  return browser;
}
