// The page's whole update in a visible tab and in a background tab, with the browser's own timer throttling
// kept (chromedriver turns it off unless told): prints both times. The timers may come late in the background,
// never early; an update is paced by the line's answers, which the browser does not hold back.
// Usage: node bench/web/background_tab.mjs [FIRMWARE_BYTES]   (the release build and the web build first)
import fs from 'node:fs';
import path from 'node:path';
import { withFixture, writeDemoPage } from '../../tests/web/fixture.mjs';

const size = process.argv[2] ?? '200000';

async function run(fx, page, name, background) {
  const image = path.join(fx.dir, `${name}.image`);
  const { browser: b, ready } =
    await fx.pageOnPort(page, name, ['--pace', '--image-out', image], { keepThrottling: true });
  if (!ready) throw new Error('the engine did not start in the page');
  const main = await b.command('GET', '/window');
  await b.click('#update');
  const start = Date.now();
  if (background) {
    const other = await b.command('POST', '/window/new', { type: 'tab' });
    await b.command('POST', '/window', { handle: other.handle });
  }
  // The test's own polling in another tab would not see the page; wait for the simulator's image instead.
  while (!fs.existsSync(image) && Date.now() - start < 600000) await new Promise((r) => setTimeout(r, 200));
  const seconds = (Date.now() - start) / 1000;
  if (background) await b.command('POST', '/window', { handle: main });
  const hidden = await b.execute('return document.visibilityState;');
  return { seconds, ok: fs.existsSync(image), hidden };
}

await withFixture(async (fx) => {
  const page = writeDemoPage(fx.dir, { size });
  const visible = await run(fx, page, 'com1', false);
  const hidden = await run(fx, page, 'com2', true);
  console.log(`firmware ${size} bytes, paced simulator`);
  console.log(`visible tab:    ${visible.seconds.toFixed(1)} s${visible.ok ? '' : ' (NOT confirmed)'}`);
  console.log(`background tab: ${hidden.seconds.toFixed(1)} s${hidden.ok ? '' : ' (NOT confirmed)'}`);
}, { deadlineMs: 1500000 });
