// The page in headless Chromium, on file://, with the Web Serial stand-in and a paced simulator behind it: a
// page the program built (/w) updates the indicator byte for byte and offers the run's log; a copy the page
// saves of itself does the same, also when the adapter is pulled and plugged in again; the template with chosen
// files; Check; Stop; a damaged page refuses before any port opens; the page's own policy refuses nothing.
// Prints each check; exits 0 when all passed.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { checks, engineStarted, needBuilt, waitFor, withFixture, writeDemoPage } from './fixture.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const program = process.env.BRAE_UPDATE ?? path.join(root, 'build/bin/brae-update');
const template = process.env.BRAE_PAGE ?? path.join(root, 'build-web/bin/brae-update.html');
const shots = process.env.BRAE_PAGE_SHOTS;  // a folder for the picture of the transfer, when set

const { check, end } = checks('web page');

const running = 'window.braeTest && window.braeTest.state.running';
const status = 'document.getElementById("status").textContent';

// One update from `page`: the simulator's image against `firmware`, the status, the log offered.
async function update(fx, page, firmware, name, { chosen, picture, unplug } = {}) {
  const image = path.join(fx.dir, `${name}.image`);
  const { bridge, browser, ready } =
    await fx.pageOnPort(page, name, ['--pace', '--rate', '9600', '--image-out', image]);
  check(`${name}: the engine starts in the page`, ready);
  // The template carries nothing: the technician chooses both files.
  for (const [input, file] of Object.entries(chosen ?? {})) await browser.chooseFile(input, file);
  if (chosen) await waitFor(browser, '!document.getElementById("update").disabled', 5000, 'the chosen files');
  await browser.click('#update');
  check(`${name}: the update runs`, await waitFor(browser, running, 5000, 'the start'));
  if (picture) {
    await waitFor(browser, 'document.getElementById("bar").max > 20000 && document.getElementById("bar").value > 20000',
      60000, 'the firmware transfer');
    await browser.screenshot(picture);
  }
  if (unplug) {
    // The adapter pulled in the middle of the firmware and plugged in again: the same adapter is taken back.
    await waitFor(browser, 'document.getElementById("bar").max > 20000 && document.getElementById("bar").value > 10000',
      60000, 'the firmware transfer');
    await bridge.vanish(name, 1500);
  }
  await waitFor(browser, `!(${running})`, 90000, 'the end');
  const shown = await browser.execute(`return ${status};`);
  const got = fs.existsSync(image) ? fs.readFileSync(image) : Buffer.alloc(0);
  check(`${name}: the indicator received the firmware byte for byte`, got.equals(firmware),
    `${got.length} bytes, status "${shown}"`);
  if (unplug) {
    const gone = bridge.events.findIndex((e) => e.type === 'disconnect');
    const reopened = gone >= 0 && bridge.events.slice(gone).some((e) => e.type === 'open');
    check(`${name}: the port went in the middle and the page opened it again`, reopened);
  }
  const log = await browser.execute('return document.getElementById("log-download").download;');
  check(`${name}: the log is offered under the program's name`, log === 'VeltronaUpdateBraeError.TXT', log);
  return { browser, bridge };
}

needBuilt('web page', template);
await withFixture(
  async (fx) => {
    // The program with the template beside it writes the page, as a service department's pipeline would.
    const demo = writeDemoPage(fx.dir, { program, template });
    const firmware = fs.readFileSync(path.join(fx.dir, 'demo.bin'));
    check('/w wrote Demo.html', fs.existsSync(demo));

    const picture = shots ? path.join(shots, 'web-transfer.png') : undefined;
    const { browser } = await update(fx, demo, firmware, 'com1', { picture });

    // The page saves a copy of itself with the same files chosen: it carries and does the same.
    await browser.chooseFile('#firmware-file', path.join(fx.dir, 'demo.bin'));
    await waitFor(browser, '!document.getElementById("save-copy").disabled', 5000, 'the chosen file');
    await browser.execute('window.prompt = () => "Copy";');
    await browser.click('#save-copy');
    const copy = await browser.waitForDownload('Copy.html', 15000).catch(() => null);
    check('the page saved Copy.html', !!copy);
    if (copy) await update(fx, copy, firmware, 'com2', { unplug: true });

    // The template, with the firmware and the loader chosen in the page (the program's /i mode).
    await update(fx, template, firmware, 'com4', {
      chosen: { '#firmware-file': path.join(fx.dir, 'demo.bin'), '#loader-file': path.join(fx.dir, 'demo.s19') },
    });

    // Check: the indicator's answers and the firmware's fit, nothing that changes it.
    await browser.click('#check');
    await waitFor(browser, running, 5000, 'the check');
    await waitFor(browser, `!(${running})`, 60000, 'the end of the check');
    const verdict = await browser.execute(`return ${status};`);
    check('Check tells whether the firmware fits', /fit/i.test(verdict), verdict);

    // Stop in the middle of the firmware: the run ends and the page says where it left the indicator.
    await browser.click('#update');
    await waitFor(browser, 'document.getElementById("bar").max > 20000 && document.getElementById("bar").value > 5000',
      60000, 'the firmware transfer');
    await browser.click('#stop');
    await waitFor(browser, `!(${running})`, 20000, 'the stop');
    const note = await browser.execute('return document.getElementById("notice").textContent;');
    check('Stop ends the run and says so', /^The update was stopped\..*Click Update again/.test(note), note);

    // A damaged page: one byte of its firmware changed after the build. Nothing is sent.
    const text = fs.readFileSync(demo, 'latin1');
    const at = text.indexOf('firmware=') + 100;
    const damaged = path.join(fx.dir, 'Damaged.html');
    fs.writeFileSync(damaged, text.slice(0, at) + (text[at] === 'A' ? 'B' : 'A') + text.slice(at + 1), 'latin1');
    const { bridge, browser: b3 } = await fx.pageOnPort(damaged, 'com3', ['--rate', '9600']);
    await b3.click('#update');
    await waitFor(b3, `!(${running})`, 10000, 'the refusal');
    const said = await b3.execute('return document.getElementById("message-text").textContent;');
    check('a damaged page refuses, and says why', /carried in this page does not match/.test(said), said);
    check('a damaged page opens no port', !bridge.events.some((e) => e.type === 'open'));

    // A browser without Web Serial, and the page's own policy in force (no bypass): the engine still starts,
    // nothing the page does is refused by the policy, and the page says what the browser lacks.
    const b4 = await fx.browser();
    await b4.addScriptOnNewDocument(`Object.defineProperty(Navigator.prototype, 'serial', { get: () => undefined });
      window.violations = []; document.addEventListener('securitypolicyviolation',
        (e) => violations.push(e.violatedDirective + ' ' + e.blockedURI));`);
    await b4.navigate(pathToFileURL(demo).href);
    check('the engine starts under the page\'s own policy', await engineStarted(b4));
    const seen = await b4.execute(`return { unsupported: !document.getElementById('unsupported').hidden,
      update: document.getElementById('update').disabled, violations: window.violations };`);
    check('without Web Serial the page says so and offers no update', seen.unsupported && seen.update,
      JSON.stringify(seen));
    check('the policy refused nothing', seen.violations.length === 0, seen.violations.join(', '));
  },
  { deadlineMs: 280000 },
);
end();
