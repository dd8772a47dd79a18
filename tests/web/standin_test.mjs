// The Web Serial stand-in, the bridge and the WebDriver client together: headless Chromium, a page whose policy
// forbids every connection, and real simulators on ptys. Prints each check; exits 0 when all passed.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { standinSource } from './bridge.mjs';
import { withFixture } from './fixture.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const COM1 = { name: 'com1', usbVendorId: 0x0403, usbProductId: 0x6001 };
const COM2 = { name: 'com2', usbVendorId: 0x067b, usbProductId: 0x2303 };
// In the page: every awaited call has its own bound.
const HELPERS = `
window.bounded = (p, ms, what) => { let t; return Promise.race([p, new Promise((_, no) => {
  t = setTimeout(() => no(new Error(what + ': no answer in ' + ms + ' ms')), ms); })]).finally(() => clearTimeout(t)); };
window.send = async (port, text) => { const w = port.writable.getWriter(); const t0 = performance.now();
  try { await bounded(w.write(new TextEncoder().encode(text)), 5000, 'write'); } finally { w.releaseLock(); }
  return performance.now() - t0; };
window.receive = async (port, n, ms = 3000) => { const r = port.readable.getReader(); let got = '';
  const end = performance.now() + ms;
  try { while (got.length < n) { const { value, done } = await bounded(r.read(), end - performance.now(), 'read');
    if (done) break; got += String.fromCharCode(...value); } } catch (e) { if (!got) throw e; }
  finally { r.releaseLock(); } return got; };
window.events = []; for (const type of ['connect', 'disconnect'])
  navigator.serial.addEventListener(type, (e) => events.push({ type, port: e.target }));
document.getElementById('pick').onclick = () => { window.picked = navigator.serial.requestPort(window.ask);
  picked.catch(() => {}); };
document.getElementById('save').onclick = () => { const a = document.createElement('a');
  a.href = URL.createObjectURL(new Blob(['brae'])); a.download = 'standin.txt'; a.click(); };`;

let passed = 0;
let failed = 0;
function check(name, ok, detail = '') {
  ok ? passed++ : failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${detail ? `: ${detail}` : ''}`);
}

// An async function body run in the page; {value} or {error: 'Name: message'}.
async function inPage(browser, body, ms = 15000) {
  return browser.executeAsync(`const done = arguments[arguments.length - 1];
    (async () => { ${body} })().then((value) => done({ value }), (e) => done({ error: e.name + ': ' + e.message }));`,
  [], ms);
}

// A port from the page's chooser button (a real click, so with user activation), kept as window[as].
async function pick(browser, as, options) {
  await browser.execute(`window.ask = ${JSON.stringify(options)};`);
  await browser.click('#pick');
  return inPage(browser, `window.${as} = await bounded(picked, 3000, 'requestPort'); return ${as}.getInfo();`);
}

async function load(browser, url) {
  await browser.navigate(url);
  await browser.execute(HELPERS);
}

// Round trips at an open port: [what is sent, what the simulator answers].
async function exchanges(browser, port, table) {
  for (const [sent, want] of table) {
    const r = await inPage(browser, `const wrote = await send(${port}, ${JSON.stringify(sent)});
      return { wrote, got: await receive(${port}, ${want.length}) };`);
    check(`${sent} -> ${want}`, r.value?.got === want, JSON.stringify(r));
    // 10 bits a byte: a write that resolved before its bytes could be on the line would be a fault.
    const lineMs = (sent.length * 10 * 1000) / 9600;
    if (sent.length >= 40) check(`writing ${sent.length} bytes at 9600 took the line's ${lineMs.toFixed(1)} ms`, r.value?.wrote >= lineMs * 0.95, `${r.value?.wrote?.toFixed(1)} ms`);
  }
}

async function unplugged(browser, bridge, port, name, makeItGo) {
  await inPage(browser, `window.reading = ${port}.readable.getReader().read().then(() => 'no error', (e) => e.name);
    events.length = 0;`);
  const t0 = Date.now();
  await makeItGo();
  const r = await inPage(browser, `await bounded(new Promise((ok) => { const w = () => events.some((e) => e.type === 'connect')
      ? ok() : setTimeout(w, 20); w(); }), 5000, 'connect');
    const back = events.find((e) => e.type === 'connect').port;
    const gone = events.find((e) => e.type === 'disconnect');
    const info = JSON.stringify(back.getInfo()) === JSON.stringify(${port}.getInfo());
    const result = { read: await bounded(reading, 1000, 'read'), goneIsOld: gone?.port === ${port},
      oldConnected: ${port}.connected, newObject: back !== ${port}, info, listed: (await navigator.serial.getPorts()).includes(back) };
    await bounded(${port}.close(), 2000, 'close'); window.${port} = back; return result;`);
  const v = r.value ?? {};
  check(`${name}: the pending read failed with NetworkError`, v.read === 'NetworkError', JSON.stringify(r));
  check(`${name}: disconnect for the old port, which is no longer connected`, v.goneIsOld && v.oldConnected === false);
  check(`${name}: a new SerialPort with the same USB ids came back`, v.newObject && v.info && v.listed);
  check(`${name}: back after ${Date.now() - t0} ms`, bridge.events.some((e) => e.port === name && e.type === 'connect'));
}

const groupsLeft = [];
await withFixture(async (fx) => {
  const com1 = await fx.simulator('com1', ['--pace']);
  const com2 = await fx.simulator('com2', ['--pace', '--vanish-after', '5:800']);
  const bridge = await fx.bridge({ com1: com1.link, com2: com2.link });
  const browser = await fx.browser();
  groupsLeft.push(-browser.driver.pid, com1.pid, com2.pid);
  await browser.addScriptOnNewDocument(standinSource(bridge.standinConfig([COM1, COM2])));
  const page = pathToFileURL(path.join(here, 'standin-page.html')).href;
  const server = await fx.server(here);

  // Without the bypass the page's own policy holds, and the stand-in says so instead of hanging.
  await load(browser, page);
  await pick(browser, 'port', {});
  const blocked = await inPage(browser, `await bounded(port.open({ baudRate: 9600 }), 8000, 'open');`);
  check('the page policy forbids the bridge without the bypass', blocked.error?.startsWith('NetworkError'), JSON.stringify(blocked));
  await browser.bypassCSP();

  for (const url of [`${server}/standin-page.html`, page]) {
    await load(browser, url);
    const origin = url.split(':')[0];
    const gesture = await inPage(browser, 'await navigator.serial.requestPort();');
    check(`${origin}: requestPort outside a user gesture`, gesture.error?.startsWith('SecurityError'), gesture.error);
    const info = await pick(browser, 'port', { filters: [{ usbVendorId: COM1.usbVendorId }] });
    check(`${origin}: requestPort gives com1 with its USB ids`, info.value?.usbProductId === COM1.usbProductId, JSON.stringify(info));
    const twice = await inPage(browser, `await bounded(port.open({ baudRate: 9600 }), 3000, 'open');
      return await bounded(port.open({ baudRate: 9600 }), 3000, 'open').then(() => 'opened twice', (e) => e.name);`);
    check(`${origin}: a second open() is refused`, twice.value === 'InvalidStateError', JSON.stringify(twice));
    if (origin === 'http') {
      await exchanges(browser, 'port', [['{ZA1}', '^']]);
      // A frame a pty cannot carry still opens, and the bridge keeps what the page asked for.
      const frame = { baudRate: 9600, dataBits: 7, stopBits: 2, parity: 'even', flowControl: 'hardware' };
      const odd = await inPage(browser, `await bounded(port.close(), 2000, 'close');
        await bounded(port.open(${JSON.stringify(frame)}), 3000, 'open'); await bounded(port.close(), 2000, 'close');`);
      const asked = bridge.events.filter((e) => e.type === 'open').at(-1)?.settings;
      check('a 7E2 port with hardware flow control opens', !odd.error && JSON.stringify(asked) === JSON.stringify(frame), JSON.stringify([odd, asked]));
      continue;
    }
    await exchanges(browser, 'port', [['{ZA1}'.repeat(8), '^'.repeat(8)], ['{SEBX38400}', '^']]);

    const signals = await inPage(browser, `await bounded(port.setSignals({ dataTerminalReady: true, requestToSend: false }), 2000, 's');
      const empty = await port.setSignals({}).then(() => 'taken', (e) => e.name);
      return { empty, got: await bounded(port.getSignals(), 2000, 'getSignals') };`);
    check('setSignals reaches the bridge', JSON.stringify(bridge.signals('com1').at(-1)) === '{"dataTerminalReady":true,"requestToSend":false}');
    check('setSignals({}) is a TypeError; getSignals answers', signals.value?.empty === 'TypeError' && 'clearToSend' in (signals.value?.got ?? {}), JSON.stringify(signals));

    const locked = await inPage(browser, `const r = port.readable.getReader();
      const refused = await port.close().then(() => 'closed', (e) => e.name); r.releaseLock();
      const stillOpen = port.readable !== null; await bounded(port.close(), 2000, 'close');
      await bounded(port.open({ baudRate: 38400 }), 3000, 'open'); return { refused, stillOpen };`);
    check('close() with a locked readable is refused and the port stays open', locked.value?.refused === 'TypeError' && locked.value.stillOpen, JSON.stringify(locked));
    const speed = execFileSync('stty', ['-F', com1.link, 'speed']).toString().trim();
    check('the reopen at 38400 set the pty to 38400', speed === '38400', speed);
    await exchanges(browser, 'port', [['{ZA1}', '^']]);

    await unplugged(browser, bridge, 'port', 'com1', () => bridge.vanish('com1', 1500));
    await inPage(browser, `await bounded(port.open({ baudRate: 38400 }), 3000, 'open');`);
    await exchanges(browser, 'port', [['{ZA1}', '^']]);

    const second = await pick(browser, 'port2', { filters: [{ usbVendorId: COM2.usbVendorId }] });
    check('a second requestPort gives com2', second.value?.usbProductId === COM2.usbProductId, JSON.stringify(second));
    await inPage(browser, `await bounded(port2.open({ baudRate: 9600 }), 3000, 'open');`);
    await unplugged(browser, bridge, 'port2', 'com2', () => inPage(browser, `await send(port2, '{ZA1}');`));
    await inPage(browser, `await bounded(port2.open({ baudRate: 9600 }), 3000, 'open');`);
    await exchanges(browser, 'port2', [['{ZA1}', '^']]);
  }

  await browser.click('#save');
  const saved = await browser.waitForDownload('standin.txt').then((f) => fs.readFileSync(f, 'utf8'), (e) => e.message);
  check('a download lands in the download folder', saved === 'brae', saved);
  const png = await browser.screenshot(path.join(fx.dir, 'page.png'));
  check('a screenshot is a PNG', fs.readFileSync(png).subarray(1, 4).toString() === 'PNG');
  const opens = bridge.events.filter((e) => e.port === 'com1' && e.type === 'open').map((e) => e.settings.baudRate);
  check('the bridge applied each open rate', opens.join() === '9600,9600,9600,38400,38400', opens.join());
}, { deadlineMs: 100000 }).catch((err) => check('the test ran to its end', false, err.stack));

const left = groupsLeft.filter((pid) => {
  try {
    return process.kill(pid, 0);
  } catch {
    return false;
  }
});
check('no process of the test is left', left.length === 0, left.join());
console.log(`\nweb stand-in: ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
