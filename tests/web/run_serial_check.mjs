// Runs the page's serial layer (serial_check.cpp, built to one .js file) under Node against the simulated
// indicator on a pseudo-terminal, through the stand-in SerialPort (node_serial_port.mjs).
//   node run_serial_check.mjs BUILD-WEB/bin/web-serial-check.js BUILD/bin/brae-indicator-sim
// @serialport/bindings-cpp comes from NODE_PATH (scripts/web-check.sh installs it). Exit code: the checks'.
import {spawn} from 'node:child_process';
import {existsSync, mkdtempSync, rmSync} from 'node:fs';
import {createRequire} from 'node:module';
import {tmpdir} from 'node:os';
import {join, resolve} from 'node:path';

import {NodeSerialPort} from './node_serial_port.mjs';

const [program, simulator] = process.argv.slice(2).map((p) => resolve(p));
const require = createRequire(import.meta.url);
const {autoDetect} = require('@serialport/bindings-cpp');

const dir = mkdtempSync(join(tmpdir(), 'brae-web-'));
const link = join(dir, 'com1');
const sim = spawn(simulator, ['--link', link, '--quiet', '--stuck-xoff', '30:400', '--vanish-after', '36:60000'],
                  {stdio: 'inherit'});
const stop = () => {
  sim.kill();
  rmSync(dir, {recursive: true, force: true});
};
for (let i = 0; i < 100 && !existsSync(link); ++i) await new Promise((r) => setTimeout(r, 50));

const createModule = require(program);
let code = 1;
try {
  await new Promise((resolveRun) => {
    createModule({
      preRun: [(module) => module.braeSerialAdd(new NodeSerialPort(link, autoDetect()))],
      // The program tells its end; the runtime's own exit would end Node before the simulator is stopped.
      braeCheckDone: (failed) => {
        code = failed;
        resolveRun();
      },
      quit: (status, toThrow) => {
        throw toThrow;
      },
    });
  });
} finally {
  stop();
}
process.exit(code);
