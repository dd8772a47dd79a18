// Runs the page's serial layer (serial_check.cpp, built to one .js file) under Node against the simulated
// indicator on a pseudo-terminal, through the Web Serial stand-in and the bridge (node_standin.mjs).
//   node run_serial_check.mjs [BUILD-WEB/bin/web-serial-check.js]     (BRAE_SIM: the simulator)
// Exit code: the checks' failures.
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { withFixture } from './fixture.mjs';
import { installStandin } from '../../tools/web-bridge/node_standin.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const program = path.resolve(process.argv[2] ?? path.join(here, '../../build-web/bin/web-serial-check.js'));
const require = createRequire(import.meta.url);

const failed = await withFixture(
  async (fx) => {
    const sim = await fx.simulator('com1', ['--stuck-xoff', '30:400', '--vanish-after', '36:60000']);
    const bridge = await fx.bridge({ com1: sim.link });
    const [port] = await installStandin(bridge.standinConfig([{ name: 'com1', granted: true }])).getPorts();
    return new Promise((resolve) =>
      require(program)({
        preRun: [(module) => module.braeSerialAdd(port)],
        // The program tells its end; the runtime's own exit would end Node before the simulator is stopped.
        braeCheckDone: resolve,
        quit: (status, toThrow) => {
          throw toThrow;
        },
      }),
    );
  },
  { deadlineMs: 60000 },
);
process.exit(failed);
