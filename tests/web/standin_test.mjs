// The Web Serial stand-in, the bridge and the WebDriver client together: headless Chromium, a page whose
// policy forbids every connection, and real simulators on ptys. Prints each check; exits 0 when all passed.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { standinSource } from '../../tools/web-bridge/bridge.mjs';
import { checks, withFixture } from './fixture.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const COM1 = { name: 'com1', usbVendorId: 0x0403, usbProductId: 0x6001 };
// com2 as a port the page was given on an earlier visit: getPorts() lists it at once.
const COM2 = { name: 'com2', usbVendorId: 0x067b, usbProductId: 0x2303, granted: true };
// In the page: every awaited call has its own bound.
const HELPERS = `
window.bounded = (p, ms, what) => { let t; return Promise.race([p, new Promise((_, no) => {
  t = setTimeout(() => no(new Error(what + ': no answer in ' + ms + ' ms')), ms); })])
  .finally(() => clearTimeout(t)); };
window.send = async (port, text) => { const w = port.writable.getWriter(); const t0 = performance.now();
  try { await bounded(w.write(new TextEncoder().encode(text)), 5000, 'write'); } finally { w.releaseLock(); }
  return performance.now() - t0; };
window.receive = async (port, n, ms = 3000) => { const r = port.readable.getReader(); let got = '';
  const end = performance.now() + ms;
  try { while (got.length < n) {
    const { value, done } = await bounded(r.read(), end - performance.now(), 'read'); if (done) break;
    got += String.fromCharCode(...value); } } catch (e) { if (!got) throw e; }
  finally { r.releaseLock(); } return got; };
window.events = []; for (const type of ['connect', 'disconnect'])
  navigator.serial.addEventListener(type, (e) => events.push({ type, port: e.target }));
window.waitEvent = (type) => bounded(new Promise((ok) => { const w = () => events.some((e) => e.type === type)
  ? ok(events.find((e) => e.type === type).port) : setTimeout(w, 20); w(); }), 5000, type);
document.getElementById('pick').onclick = () => { window.picked = navigator.serial.requestPort(window.ask);
  picked.catch(() => {}); };
document.getElementById('save').onclick = () => { const a = document.createElement('a');
  a.href = URL.createObjectURL(new Blob(['brae'])); a.download = 'standin.txt'; a.click(); };`;

const { check, end } = checks('\nweb stand-in');

// An async function body run in the page: {value} or {error: 'Name: message'}.
function inPage(browser, body, ms = 15000) {
  const script = `const done = arguments[arguments.length - 1]; (async () => { ${body} })()
    .then((value) => done({ value }), (e) => done({ error: e.name + ': ' + e.message }));`;
  return browser.executeAsync(script, [], ms);
}

// Rows in order: [what is checked, a page body (or a function in the test), what its result must satisfy].
async function steps(browser, rows) {
  for (const [what, body, ok] of rows) {
    const r = typeof body === 'function' ? { value: await body() } : await inPage(browser, body);
    check(what, Boolean(ok(r)), JSON.stringify(r));
  }
}

const open = (p, settings) => `await bounded(${p}.open(${JSON.stringify(settings)}), 3000, 'open');`;
const close = (p) => `await bounded(${p}.close(), 2000, 'close');`;
// What one write took, and the answer read back.
const exchange = (p, sent, n) => `const wrote = await send(${p}, ${JSON.stringify(sent)});
  return { wrote, got: await receive(${p}, ${n}) };`;
const answers = (p, sent, want) =>
  [`${p}: ${sent} -> ${want}`, exchange(p, sent, want.length), (r) => r.value?.got === want];
// A port from the page's chooser button: a real click, so with user activation, as requestPort() needs.
async function pick(browser, as, options) {
  await browser.execute(`window.ask = ${JSON.stringify(options)};`);
  await browser.click('#pick');
  return inPage(browser, `window.${as} = await bounded(picked, 3000, 'requestPort');
    return ${as}.getInfo();`);
}
// With a read pending, the port goes (gone() in the test); the old object's read fails, a new one comes back.
const unplugged = (p, gone) => [
  [`${p}: a read pending`, `events.length = 0;
    window.reading = ${p}.readable.getReader().read().then(() => 'data', (e) => e.name);`, (r) => !r.error],
  [`${p}: gone`, gone, () => true],
  [`${p}: the read fails, disconnect names the old port, a new one with the same USB ids is listed`,
    `const back = await waitEvent('connect'); const old = events.find((e) => e.type === 'disconnect')?.port;
    const r = { read: await bounded(reading, 1000, 'read'), gone: old === ${p}, connected: ${p}.connected,
      fresh: back !== ${p}, ids: JSON.stringify(back.getInfo()) === JSON.stringify(${p}.getInfo()),
      listed: (await navigator.serial.getPorts()).includes(back) };
    ${close(p)} window.${p} = back; return r;`,
    ({ value: v }) => v?.read === 'NetworkError' && v.gone && !v.connected && v.fresh && v.ids && v.listed],
];

const pids = [];
await withFixture(async (fx) => {
  const com1 = await fx.simulator('com1', ['--pace']);
  const com2 = await fx.simulator('com2', ['--pace', '--vanish-after', '5:800']);
  const bridge = await fx.bridge({ com1: com1.link, com2: com2.link });
  const browser = await fx.browser();
  pids.push(-browser.driver.pid, com1.pid, com2.pid);
  await browser.addScriptOnNewDocument(standinSource(bridge.standinConfig([COM1, COM2])));
  const page = pathToFileURL(path.join(here, 'standin-page.html')).href;
  const server = await fx.server(here);
  const load = async (url) => {
    await browser.navigate(url);
    await browser.execute(HELPERS);
  };
  const odd = { baudRate: 9600, dataBits: 7, stopBits: 2, parity: 'even', flowControl: 'hardware' };
  const lastOpen = () => bridge.events.filter((e) => e.type === 'open').at(-1)?.settings;

  // Without the bypass the page's own policy holds, and the stand-in says so instead of hanging.
  await load(page);
  await pick(browser, 'port', {});
  await steps(browser, [['the policy forbids the bridge without the bypass', open('port', { baudRate: 9600 }),
    (r) => r.error?.startsWith('NetworkError')]]);
  await browser.bypassCSP();

  for (const url of [`${server}/standin-page.html`, page]) {
    await load(url);
    const origin = url.split(':')[0];
    await steps(browser, [
      [`${origin}: getPorts() lists the port given earlier`, `return (await navigator.serial.getPorts())
        .map((p) => p.getInfo().usbProductId);`, (r) => r.value?.join() === String(COM2.usbProductId)],
      [`${origin}: requestPort outside a user gesture`, 'await navigator.serial.requestPort();',
        (r) => r.error?.startsWith('SecurityError')],
    ]);
    const info = await pick(browser, 'port', { filters: [{ usbVendorId: COM1.usbVendorId }] });
    check(`${origin}: requestPort gives com1`, info.value?.usbProductId === COM1.usbProductId,
      JSON.stringify(info));
    await steps(browser, [
      [`${origin}: a second open() is refused`, `${open('port', { baudRate: 9600 })}
        return port.open({ baudRate: 9600 }).then(() => 'opened twice', (e) => e.name);`,
        (r) => r.value === 'InvalidStateError'],
      answers('port', '{ZA1}', '^'),
    ]);
    if (origin === 'http') {
      // A frame a pty cannot carry still opens, and the bridge keeps what the page asked for.
      await steps(browser, [['a 7E2 port with hardware flow control opens',
        `${close('port')} ${open('port', odd)} ${close('port')}`,
        (r) => !r.error && JSON.stringify(lastOpen()) === JSON.stringify(odd)]]);
      continue;
    }
    await steps(browser, [
      // 40 bytes of 10 bits at 9600: a write that resolved before the last of them could be in the UART's
      // 16-byte FIFO (24 bytes on the line) would be a fault.
      ['port: 40 bytes written in no less than 24 of them take on the line (25.0 ms), answered',
        exchange('port', '{ZA1}'.repeat(8), 8),
        (r) => r.value?.wrote >= 25.0 * 0.95 && r.value.got === '^'.repeat(8)],
      answers('port', '{SEBX38400}', '^'),
      ['setSignals reaches the bridge; setSignals({}) is a TypeError; getSignals answers',
        `const set = port.setSignals({ dataTerminalReady: true, requestToSend: false });
        await bounded(set, 2000, 'setSignals');
        const empty = await port.setSignals({}).then(() => 'taken', (e) => e.name);
        return { empty, got: await bounded(port.getSignals(), 2000, 'getSignals') };`,
        ({ value: v }) => v?.empty === 'TypeError' && 'clearToSend' in v.got &&
          JSON.stringify(bridge.signals('com1').at(-1)) === JSON.stringify({ dataTerminalReady: true,
            requestToSend: false })],
      ['close() with a locked readable is refused and leaves the port open',
        `const r = port.readable.getReader();
        const refused = await port.close().then(() => 'closed', (e) => e.name); r.releaseLock();
        const open = port.readable !== null; ${close('port')} return { refused, open };`,
        (r) => r.value?.refused === 'TypeError' && r.value.open],
      ['the reopen at 38400 sets the pty to 38400', `${open('port', { baudRate: 38400 })} return 'open';`,
        () => execFileSync('stty', ['-F', com1.link, 'speed']).toString().trim() === '38400'],
      answers('port', '{ZA1}', '^'),
      ...unplugged('port', () => bridge.vanish('com1', 1500)),
      ['port: the new port opens', open('port', { baudRate: 38400 }), (r) => !r.error],
      answers('port', '{ZA1}', '^'),
    ]);
    const second = await pick(browser, 'port2', { filters: [{ usbVendorId: COM2.usbVendorId }] });
    check('a second requestPort gives com2', second.value?.usbProductId === COM2.usbProductId,
      JSON.stringify(second));
    // com2's simulator drops its line after 5 bytes and is back 800 ms later.
    await steps(browser, [
      ['port2: opens', open('port2', { baudRate: 9600 }), (r) => !r.error],
      ...unplugged('port2', () => inPage(browser, `await send(port2, '{ZA1}');`)),
      ['port2: the new port opens', open('port2', { baudRate: 9600 }), (r) => !r.error],
      answers('port2', '{ZA1}', '^'),
    ]);
  }

  await browser.click('#save');
  await steps(browser, [
    ['a download lands in the download folder', async () =>
      fs.readFileSync(await browser.waitForDownload('standin.txt'), 'utf8'), (r) => r.value === 'brae'],
    ['a screenshot is a PNG', async () =>
      fs.readFileSync(await browser.screenshot(path.join(fx.dir, 'page.png'))).subarray(1, 4).toString(),
      (r) => r.value === 'PNG'],
    ['the bridge applied each open rate', async () => bridge.events
      .filter((e) => e.port === 'com1' && e.type === 'open').map((e) => e.settings.baudRate).join(),
      (r) => r.value === '9600,9600,9600,38400,38400'],
  ]);
}, { deadlineMs: 100000 }).catch((err) => check('the test ran to its end', false, err.stack));

const alive = (pid) => {
  try {
    return process.kill(pid, 0);
  } catch {
    return false;
  }
};
check('no process of the test is left', !pids.some(alive), pids.filter(alive).join());
end();
