// The page's engine (build-web's brae-update-web.js) under Node: the same program as in the page, given a
// braePage as page.js gives it and its port through the Web Serial stand-in and the bridge, updates the
// simulated indicator on a pty. One case of the table a run:  node engine_test.mjs CASE
// (BRAE_SIM: the simulator; BRAE_ENGINE: the engine's .js). Prints each check; exits 0 when all passed.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { checks, FTDI, needBuilt, withFixture } from './fixture.mjs';
import { installStandin } from '../../tools/web-bridge/node_standin.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const engine = process.env.BRAE_ENGINE ?? path.join(root, 'build-web/bin/brae-update-web.js');
const XOFF_HOLD_MS = 1500;

const transcriptHas = (re) => (run) => re.exec(fs.readFileSync(run.sim.transcript, 'utf8'));
// [name, the simulator's faults, checks beyond the update's own: [what, (run) => truthy when right]]
const CASES = [
  ['update', [], []],
  // The line goes away in the middle of the firmware's blocks and comes back as a new port.
  ['vanish', ['--vanish-after', '30000:1500'], [
    ['the line went during the transfer', transcriptHas(/size [\s\S]* -> W[\s\S]*line gone after 30000/)],
    ['the engine opened the port again once it was back', ({ bridge: { events } }) => {
      const gone = events.findIndex((e) => e.type === 'disconnect');
      return gone >= 0 && events.slice(gone).some((e) => e.type === 'open');
    }],
  ]],
  // XOFF a third of the way into the loader, XON 1.5 s later; meanwhile nothing but what was already on
  // its way may arrive (the layer hands the output on in pieces of 64 bytes).
  ['xoff', ['--stuck-xoff', `3000:${XOFF_HOLD_MS}`], [
    ['the loader arrived whole', transcriptHas(/loader: \d+ good record\(s\), 0 bad, ends with S9/)],
    ['nothing was sent while the line was held', (run) => {
      const m = transcriptHas(/\{PM\}[\s\S]*XOFF sent after (\d+) byte[\s\S]*XON sent after (\d+) byte/)(run);
      return { ok: m && m[2] - m[1] <= 256, text: m ? `${m[2] - m[1]} bytes` : 'no hold in the loader' };
    }],
  ]],
];

// The engine as the page runs it; resolves with the run's events once its result has come.
async function runEngine(port, files, template, deadlineMs) {
  const events = [];
  const actions = [];
  let resultSeen;
  const result = new Promise((resolve) => (resultSeen = resolve));
  const braePage = {
    event(line) {
      const e = JSON.parse(line);
      events.push(e);
      if (e.event === 'result') resultSeen(e);
    },
    takeAction: () => actions.shift() ?? '',
    pristine: () => template,
    offer() {},
    embedded() {},
  };
  const module = await createRequire(import.meta.url)(engine)({
    braePage,
    print() {},
    printErr: (text) => console.error(`engine: ${text}`),
  });
  module.braeSerialAdd(port);
  for (const [name, bytes] of Object.entries(files)) module.FS.writeFile(`/in/${name}`, bytes);
  actions.push(['start', 'brae-update.html', '/i', '/in/demo.bin', '/in/demo.s19', '/p', 'Com1'].join('\n'));
  module.braeRouse();
  let timer;
  const late = new Promise((resolve) => (timer = setTimeout(() => resolve(null), deadlineMs)));
  const ended = await Promise.race([result, late]);
  clearTimeout(timer);
  return { ended, events };
}

const [name, faults, extra] = CASES.find(([n]) => n === process.argv[2]) ?? [];
if (!name) {
  console.log(`usage: node engine_test.mjs ${CASES.map(([n]) => n).join('|')}`);
  process.exit(2);
}
needBuilt('web engine', engine);
const { check, end } = checks(`web engine ${name}`);
await withFixture(
  async (fx) => {
    execFileSync(path.join(root, 'scripts/make-demo-payloads.sh'), [fx.dir], { stdio: 'ignore' });
    const read = (f) => [f, fs.readFileSync(path.join(fx.dir, f))];
    const files = Object.fromEntries(['demo.bin', 'demo.s19'].map(read));
    const image = path.join(fx.dir, 'image.bin');
    const sim = await fx.simulator('com1', ['--pace', '--rate', '9600', '--image-out', image, ...faults]);
    const bridge = await fx.bridge({ com1: sim.link });
    const [port] = await installStandin(bridge.standinConfig([{ name: 'com1', ...FTDI }])).getPorts();
    const template = fs.readFileSync(path.join(path.dirname(engine), 'brae-update.html'), 'latin1');
    const { ended, events } = await runEngine(port, files, template, 150000);
    check(`${name}: the engine reports the indicator updated`, ended?.outcome === 'updated',
      JSON.stringify(ended ?? events.slice(-5)));
    const got = fs.existsSync(image) ? fs.readFileSync(image) : Buffer.alloc(0);
    check(`${name}: the indicator received the firmware byte for byte`, got.equals(files['demo.bin']),
      `${got.length} of ${files['demo.bin'].length} bytes`);
    for (const [what, ok] of extra) check(`${name}: ${what}`, ok({ sim, bridge, events }));
  },
  { deadlineMs: 170000 },
);
end();
