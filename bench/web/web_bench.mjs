// Prints how long a whole update takes from the page (headless Chromium, the engine in WebAssembly, the
// test-only Web Serial stand-in over the bridge) against the native program on the same paced simulator
// (--pace: bytes at the wire rate, 9600 baud at power-on, 38400 after the updater's switch), and the ratio.
// Both update the same 49,152-byte firmware with the same 9,784-byte loader on one named port (/p Com1), and
// both are timed from the start of the update to its result: the program from its start to its JSON
// "result" line, the page from the click on Update to the end of the run (polled in the page every 2 ms).
// A figure, never a verdict: it exits 0 whatever the times.
//
// Usage: node bench/web/web_bench.mjs [RUNS]   (RUNS of each, interleaved; default 1)
// BRAE_UPDATE, BRAE_SIM and BRAE_PAGE name the program, the simulator and the template page (default: the
// release build's and build-web's).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { withFixture, writeDemoPage } from '../../tests/web/fixture.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const program = process.env.BRAE_UPDATE ?? path.join(root, 'build/bin/brae-update');
const template = process.env.BRAE_PAGE ?? path.join(root, 'build-web/bin/brae-update.html');
const runs = Number(process.argv[2] ?? 1);
const simArgs = ['--pace', '--rate', '9600'];
// The statuses that begin each phase, and the phases' names.
const phases = [
  ['Sending Load Program', 'scan'],
  ['Erasing firmware', 'loader'],
  ['Sending new firmware', 'erase'],
  ['Update Successful', 'blocks'],
];

// Seconds from the start to each phase's end, from [seconds, status text] pairs (the last phase ends with
// the update).
function phaseEnds(statuses) {
  return phases.map(([text]) => statuses.find(([, t]) => t.startsWith(text))?.[0] ?? NaN);
}

// The native program against a fresh simulator at dir/com1: seconds from its start to its result line.
async function native(fx, n) {
  const dir = path.join(fx.dir, `native${n}`);
  fs.mkdirSync(dir);
  const sim = await fx.simulator(`native${n}/com1`, simArgs);
  const start = process.hrtime.bigint();
  const proc = spawn(program, ['/i', 'demo.bin', 'demo.s19', '/p', 'Com1'], {
    cwd: fx.dir,
    env: { ...process.env, BRAE_CONSOLE: 'json', BRAE_PORT_DIR: dir, BRAE_LOG_DIR: dir },
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  let result = null;
  const statuses = [];
  for await (const line of readline.createInterface({ input: proc.stdout })) {
    const e = JSON.parse(line);
    const s = Number(process.hrtime.bigint() - start) / 1e9;
    if (e.event === 'status') statuses.push([s, e.text]);
    if (e.event === 'result' && result === null) result = { s, ends: phaseEnds(statuses) };
  }
  await new Promise((resolve) => (proc.exitCode !== null ? resolve() : proc.once('exit', resolve)));
  if (!result || proc.exitCode !== 0) throw new Error(`the native update failed (exit ${proc.exitCode})`);
  sim.proc.kill('SIGTERM');
  return result;
}

// The page built by /w against a fresh simulator: seconds from the click to the end of the run.
async function page(fx, demo, n) {
  const name = `page${n}`;
  const { browser, ready } = await fx.pageOnPort(demo, name, simArgs);
  if (!ready) throw new Error('the engine did not start in the page');
  await browser.execute(`
    window.__bench = {statuses: []};
    const s = window.braeTest.state;
    const page = window.braeTest.page;
    const event = page.event;
    page.event = function(line) {
      const e = JSON.parse(line);
      if (e.event === 'status' && window.__bench.start !== undefined)
        window.__bench.statuses.push([(performance.now() - window.__bench.start) / 1000, e.text]);
      return event.call(this, line);
    };
    const b = document.getElementById('update');
    b.addEventListener('click', () => { window.__bench.start = performance.now(); }, {capture: true});
    const poll = setInterval(() => {
      if (window.__bench.start !== undefined && !s.running) {
        window.__bench.end = performance.now();
        window.__bench.status = document.getElementById('status').textContent;
        clearInterval(poll);
      }
    }, 2);`);
  await browser.click('#update');
  for (let i = 0; ; i++) {
    const t = await browser.execute('return window.__bench.end === undefined ? null : window.__bench;');
    if (t) {
      if (!/Successful/.test(t.status)) throw new Error(`the page's update failed: ${t.status}`);
      return { s: (t.end - t.start) / 1000, ends: phaseEnds(t.statuses) };
    }
    if (i > 1200) throw new Error('the page did not end within 120 s');
    await new Promise((r) => setTimeout(r, 100));
  }
}

await withFixture(
  async (fx) => {
    const demo = writeDemoPage(fx.dir, { program, template });
    const times = { native: [], page: [] };
    const durations = (r) => r.ends.map((end, i) => end - (i ? r.ends[i - 1] : 0));
    for (let n = 0; n < runs; n++) {
      times.native.push(await native(fx, n));
      times.page.push(await page(fx, demo, n));
      const show = (r) => `${r.s.toFixed(2)} s (${durations(r).map((d, i) => `${phases[i][1]} ${d.toFixed(2)}`).join(', ')})`;
      console.log(`run ${n + 1}: native ${show(times.native[n])}`);
      console.log(`       page   ${show(times.page[n])}`);
    }
    const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
    const [a, b] = [median(times.native.map((r) => r.s)), median(times.page.map((r) => r.s))];
    console.log(`web update (49152-byte firmware, 9784-byte loader, paced, 38400 baud after the switch), median of ${runs}:`);
    console.log(`  native ${a.toFixed(2)} s, page ${b.toFixed(2)} s, page/native ${(b / a).toFixed(3)}`);
    phases.forEach(([, name], i) => {
      const [pa, pb] = [median(times.native.map((r) => durations(r)[i])), median(times.page.map((r) => durations(r)[i]))];
      console.log(`  ${name.padEnd(7)} native ${pa.toFixed(2)} s, page ${pb.toFixed(2)} s, page/native ${(pb / pa).toFixed(3)}`);
    });
  },
  { deadlineMs: 100000 + runs * 120000 },
);
