// Test-only: carries the Web Serial stand-in's ports (serial-standin.js, in a page) over WebSockets on
// 127.0.0.1 to pseudo-terminals, each with a simulated indicator behind it. The page's open() settings become
// the pty's terminal settings, because the simulator reads the updater's rate from them.
//
// As a module:  const bridge = await startBridge({ports: {com1: '/tmp/x/com1'}});  ...  await bridge.stop();
// From a shell: node bridge.mjs com1=/tmp/x/com1 [com2=PATH...]   prints {"url": ...}, then reads commands
//               from stdin: "vanish NAME MS", "signals NAME", "events", "quit".
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import tty from 'node:tty';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { WebSocketServer } from 'ws';

const here = path.dirname(fileURLToPath(import.meta.url));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// What the page sees when the bridge cannot open a port, as Chromium words it.
const WS_OPEN = 1;
const OPEN_FAILED = 'Failed to open serial port.';
// stty answers at once on a pty; one that hangs fails the open instead of holding it.
const STTY_BOUND_MS = 5000;

// The source to inject before a page's own scripts: the configuration global, then the stand-in.
export function standinSource(config) {
  const code = fs.readFileSync(path.join(here, 'serial-standin.js'), 'utf8');
  return `globalThis.__braeSerialStandin = ${JSON.stringify(config)};\n${code}`;
}

// Settings from the page's open() (carried in the connection's query), checked again here: the pty takes
// whatever stty is given, so a wrong value would otherwise pass unnoticed.
function parseSettings(query) {
  const s = {
    baudRate: Number(query.get('baudRate')),
    dataBits: Number(query.get('dataBits') ?? 8),
    stopBits: Number(query.get('stopBits') ?? 1),
    parity: query.get('parity') ?? 'none',
    flowControl: query.get('flowControl') ?? 'none',
  };
  const ok =
    Number.isInteger(s.baudRate) &&
    s.baudRate > 0 &&
    [7, 8].includes(s.dataBits) &&
    [1, 2].includes(s.stopBits) &&
    ['none', 'even', 'odd'].includes(s.parity) &&
    ['none', 'hardware'].includes(s.flowControl);
  return ok ? s : null;
}

// Raw, no echo, no translation, no software flow control: bytes pass as they are. A Linux pty refuses 7 data
// bits and parity, so it always carries 8N: the frame the page asked for is recorded, and paces its writes.
function sttyArgs(s) {
  return [
    String(s.baudRate),
    'raw',
    '-echo',
    '-echoe',
    '-echok',
    '-echonl',
    '-opost',
    '-onlcr',
    'cread',
    'clocal',
    'cs8',
    '-parenb',
    s.stopBits === 2 ? 'cstopb' : '-cstopb',
    s.flowControl === 'hardware' ? 'crtscts' : '-crtscts',
    '-ixon',
    '-ixoff',
    '-ixany',
    'min',
    '1',
    'time',
    '0',
  ];
}

function run(file, args) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { timeout: STTY_BOUND_MS }, (err, stdout, stderr) =>
      err ? reject(new Error(`${file} ${args.join(' ')}: ${stderr || err.message}`)) : resolve(stdout),
    );
  });
}

class Port {
  constructor(name, linkPath) {
    this.name = name;
    this.path = linkPath;
    this.present = true;
    this.conn = null; // the page's connection while it has the port open
    this.inputSignals = {
      dataCarrierDetect: false,
      clearToSend: false,
      ringIndicator: false,
      dataSetReady: false,
    };
    this.timer = null; // a pending return after a vanish
  }
}

// A UART's transmit FIFO (a 16550's): a write ends when its last byte is in it.
const TX_FIFO_BYTES = 16;

// One open of a port: its own writes and answers, so that nothing of an earlier open reaches a later one.
class Conn {
  constructor(ws, settings) {
    this.ws = ws;
    this.settings = settings;
    this.stream = null;
    this.lineFreeAt = 0; // when the last byte handed over has left the line, at the open rate
    this.acks = []; // writes in order: {bytes, due, written}
    this.ackTimer = null;
  }
  send(data, binary = false) {
    if (this.ws.readyState === this.ws.OPEN) this.ws.send(binary ? data : JSON.stringify(data), { binary });
  }
}

class Bridge {
  constructor(ports, pace) {
    this.ports = new Map(Object.entries(ports).map(([name, p]) => [name, new Port(name, p)]));
    this.pace = pace;
    this.events = [];
    this.waiters = new Set();
    this.controls = new Set();
    this.started = performance.now();
    this.stopped = false;
  }

  async listen(host) {
    this.wss = new WebSocketServer({ host, port: 0 });
    await new Promise((resolve, reject) => {
      this.wss.once('listening', resolve);
      this.wss.once('error', reject);
    });
    this.url = `ws://${host}:${this.wss.address().port}`;
    this.wss.on('connection', (ws, req) => this.accept(ws, req));
    // A simulator's line can go away while no page has it open; the page is told all the same, as of an
    // adapter unplugged.
    this.watch = setInterval(() => {
      for (const p of this.ports.values())
        if (p.present && !p.conn && !fs.existsSync(p.path)) this.lineGone(p);
    }, 100);
  }

  record(port, type, detail = {}) {
    const event = { t: Math.round(performance.now() - this.started), port, type, ...detail };
    this.events.push(event);
    for (const w of [...this.waiters]) w(event);
  }

  // The first event (already recorded or still to come) that pred accepts; rejects after ms.
  waitFor(pred, ms = 5000) {
    const found = this.events.find(pred);
    if (found) return Promise.resolve(found);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiters.delete(check);
        reject(new Error(`bridge: no such event within ${ms} ms`));
      }, ms);
      const check = (e) => {
        if (!pred(e)) return;
        clearTimeout(timer);
        this.waiters.delete(check);
        resolve(e);
      };
      this.waiters.add(check);
    });
  }

  signals(name) {
    return this.events.filter((e) => e.port === name && e.type === 'signals').map((e) => e.signals);
  }

  setInputSignals(name, signals) {
    Object.assign(this.port(name).inputSignals, signals);
  }

  standinConfig(ports, extra = {}) {
    return { url: this.url, ports, ...extra };
  }

  port(name) {
    const p = this.ports.get(name);
    if (!p) throw new Error(`bridge: no port named ${name}`);
    return p;
  }

  broadcast(message) {
    const text = JSON.stringify(message);
    for (const ws of this.controls) ws.send(text);
  }

  accept(ws, req) {
    const url = new URL(req.url, 'ws://bridge');
    if (url.pathname === '/control') {
      this.controls.add(ws);
      ws.on('close', () => this.controls.delete(ws));
      ws.on('error', () => {});
      const present = Object.fromEntries([...this.ports].map(([n, p]) => [n, p.present]));
      ws.send(JSON.stringify({ type: 'hello', present }));
      return;
    }
    const match = /^\/port\/([^/]+)$/.exec(url.pathname);
    const p = match && this.ports.get(decodeURIComponent(match[1]));
    const settings = parseSettings(url.searchParams);
    ws.on('error', () => {});
    if (!p || !settings)
      return this.refuse(ws, p?.name, 'NotFoundError', p ? 'bad settings' : 'no such port');
    if (!p.present) return this.refuse(ws, p.name, 'NetworkError', 'the port is gone');
    // A page that went away without closing leaves a connection on its way out; one still open is another
    // page's, and a serial port has one owner at a time.
    if (p.conn && p.conn.ws.readyState === WS_OPEN)
      return this.refuse(ws, p.name, 'NetworkError', 'already open');
    if (p.conn) this.closePort(p, 'replaced');
    const conn = new Conn(ws, settings);
    p.conn = conn;
    this.openPort(p, conn).catch((err) => {
      if (p.conn === conn) this.closePort(p, 'failed');
      this.refuse(ws, p.name, 'NetworkError', err.message);
    });
  }

  refuse(ws, name, errorName, why) {
    this.record(name ?? null, 'refused', { why });
    if (ws.readyState === WS_OPEN) {
      ws.send(JSON.stringify({ type: 'error', name: errorName, message: OPEN_FAILED, detail: why }));
      ws.close(4001, 'refused');
    }
  }

  async openPort(p, conn) {
    const flags = fs.constants.O_RDWR | fs.constants.O_NOCTTY | fs.constants.O_NONBLOCK;
    const fd = await new Promise((resolve, reject) =>
      fs.open(p.path, flags, (err, f) => (err ? reject(err) : resolve(f))),
    );
    const current = () => p.conn === conn && conn.ws.readyState === WS_OPEN;
    try {
      if (!current()) throw new Error('closed while opening');
      await run('stty', ['-F', p.path, ...sttyArgs(conn.settings)]);
      // What the simulator sent while nobody had the port open is not the page's to read, as an open port's
      // buffers start empty.
      const scrap = Buffer.alloc(4096);
      while (fs.readSync(fd, scrap, 0, scrap.length, null) > 0);
    } catch (err) {
      if (err.code !== 'EAGAIN' || !current()) {
        fs.close(fd, () => {});
        throw err;
      }
    }
    const stream = new tty.ReadStream(fd);
    conn.stream = stream;
    stream.on('data', (bytes) => conn.send(bytes, true));
    // The far side closed the pty (the simulator's line went away): to the page, an unplugged adapter.
    const gone = () => p.conn === conn && this.lineGone(p);
    stream.on('end', gone);
    stream.on('error', gone);
    stream.on('close', gone);
    conn.ws.on('message', (data, binary) =>
      binary ? this.write(conn, data) : this.command(p, conn, String(data)),
    );
    conn.ws.on('close', () => p.conn === conn && this.closePort(p, 'closed by the page'));
    this.record(p.name, 'open', { settings: conn.settings });
    conn.send({ type: 'opened' });
  }

  // A write is answered once its bytes are in the pty and, at the open rate (start, data, parity and stop
  // bits), a real UART would have taken its last byte into its 16-byte transmit FIFO, as a serial driver
  // ends a write (the Windows tests' pty preload models the same FIFO): the simulator takes them no faster.
  write(conn, bytes) {
    if (!conn.stream) return;
    const s = conn.settings;
    const byteMs = ((1 + s.dataBits + (s.parity === 'none' ? 0 : 1) + s.stopBits) * 1000) / s.baudRate;
    const now = performance.now();
    conn.lineFreeAt = Math.max(conn.lineFreeAt, now) + bytes.length * byteMs;
    const inFifo = Math.max(now, conn.lineFreeAt - TX_FIFO_BYTES * byteMs);
    const ack = { bytes: bytes.length, due: this.pace ? inFifo : 0, written: false };
    conn.acks.push(ack);
    conn.stream.write(bytes, (err) => {
      if (err) return;
      ack.written = true;
      this.pumpAcks(conn);
    });
  }

  pumpAcks(conn) {
    clearTimeout(conn.ackTimer);
    while (conn.acks.length && conn.acks[0].written && conn.acks[0].due <= performance.now()) {
      conn.send({ type: 'written', bytes: conn.acks.shift().bytes });
    }
    if (conn.acks.length && conn.acks[0].written) {
      conn.ackTimer = setTimeout(
        () => this.pumpAcks(conn),
        Math.max(1, conn.acks[0].due - performance.now()),
      );
    }
  }

  command(p, conn, text) {
    let m;
    try {
      m = JSON.parse(text);
    } catch {
      return;
    }
    const reply = (extra = {}) => conn.send({ type: 'reply', id: m.id, ...extra });
    if (m.type === 'setSignals') {
      this.record(p.name, 'signals', { signals: m.signals });
      reply();
    } else if (m.type === 'getSignals') {
      reply({ signals: { ...p.inputSignals } });
    } else if (m.type === 'close') {
      this.closePort(p, 'closed by the page');
      reply();
    }
  }

  closePort(p, why) {
    const conn = p.conn;
    if (!conn) return;
    p.conn = null;
    clearTimeout(conn.ackTimer);
    conn.acks = [];
    conn.stream?.destroy();
    this.record(p.name, 'close', { why });
  }

  disconnect(p, cause) {
    p.present = false;
    const ws = p.conn?.ws;
    this.closePort(p, cause);
    if (ws?.readyState === WS_OPEN) ws.close(4000, 'vanished');
    this.record(p.name, 'disconnect', { cause });
    this.broadcast({ type: 'disconnect', port: p.name });
  }

  reconnect(p) {
    if (this.stopped || p.present) return;
    p.present = true;
    this.record(p.name, 'connect');
    this.broadcast({ type: 'connect', port: p.name });
  }

  // The port is gone for ms: the pty closed, the page told, then a new port object with the same USB ids.
  async vanish(name, ms) {
    const p = this.port(name);
    if (!p.present) throw new Error(`bridge: ${name} is already gone`);
    this.disconnect(p, 'vanish');
    await new Promise((resolve) => {
      p.timer = setTimeout(resolve, ms);
    });
    this.reconnect(p);
  }

  // The simulator's line went away; it is back when the link names a pty again. A link that still names the
  // old pty (never removed) is taken once it was replaced.
  lineGone(p) {
    if (!p.present) return;
    const before = lstatOrNull(p.path);
    this.disconnect(p, 'line');
    let seenGone = false;
    const poll = () => {
      if (this.stopped) return;
      const now = lstatOrNull(p.path);
      seenGone ||= !now || !fs.existsSync(p.path) || (before && now.mtimeMs !== before.mtimeMs);
      if (seenGone && now && fs.existsSync(p.path)) return this.reconnect(p);
      p.timer = setTimeout(poll, 50);
    };
    p.timer = setTimeout(poll, 50);
  }

  async stop() {
    this.stopped = true;
    clearInterval(this.watch);
    for (const p of this.ports.values()) {
      clearTimeout(p.timer);
      const ws = p.conn?.ws;
      this.closePort(p, 'bridge stopped');
      ws?.terminate();
    }
    for (const ws of this.wss.clients) ws.terminate();
    await new Promise((resolve) => this.wss.close(() => resolve()));
  }
}

function lstatOrNull(p) {
  try {
    return fs.lstatSync(p);
  } catch {
    return null;
  }
}

// ports: {name: pty path}; pace: false answers writes as soon as the pty has the bytes.
export async function startBridge({ ports, pace = true, host = '127.0.0.1' }) {
  const bridge = new Bridge(ports, pace);
  await bridge.listen(host);
  return bridge;
}

async function main(args) {
  const ports = Object.fromEntries(args.map((a) => a.split('=')).filter((kv) => kv.length === 2));
  if (!Object.keys(ports).length) {
    console.error(
      'usage: node bridge.mjs NAME=PTY_PATH... (stdin: vanish NAME MS | signals NAME | events | quit)',
    );
    process.exit(2);
  }
  const bridge = await startBridge({ ports });
  console.log(JSON.stringify({ url: bridge.url, ports }));
  const quit = async () => {
    await bridge.stop();
    process.exit(0);
  };
  process.on('SIGINT', quit);
  process.on('SIGTERM', quit);
  const lines = readline.createInterface({ input: process.stdin });
  lines.on('close', quit);
  for await (const line of lines) {
    const [cmd, name, ms] = line.trim().split(/\s+/);
    try {
      if (cmd === 'vanish')
        bridge.vanish(name, Number(ms)).catch((e) => console.log(JSON.stringify({ error: e.message })));
      else if (cmd === 'signals') console.log(JSON.stringify(bridge.signals(name)));
      else if (cmd === 'events') console.log(JSON.stringify(bridge.events));
      else if (cmd === 'quit') break;
      else if (cmd) console.log(JSON.stringify({ error: `unknown command ${cmd}` }));
    } catch (e) {
      console.log(JSON.stringify({ error: e.message }));
    }
  }
  await quit();
}

if (import.meta.url === pathToFileURL(process.argv[1] ?? '').href) main(process.argv.slice(2));
