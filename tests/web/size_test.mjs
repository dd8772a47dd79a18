// The page's sizes against their bounds and against what docs/web.md says of them ("Sizes"): the engine
// (build-web/bin/brae-update-web.js) under 600 KB, a page carrying the demo payloads (49,152-byte firmware,
// 9,784-byte loader, written by the release program's /w) under 700 KB, and each size the page states within
// 3 % of the build's. KB: 1,000 bytes. Exits 0 when all hold.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';
import { checks, needBuilt, writeDemoPage } from './fixture.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const program = process.env.BRAE_UPDATE ?? path.join(root, 'build/bin/brae-update');
const bin = process.env.BRAE_WEB_BIN ?? path.join(root, 'build-web/bin');
const engine = path.join(bin, 'brae-update-web.js');
const template = path.join(bin, 'brae-update.html');

const { check, end } = checks('web size');
needBuilt('web size', engine, template);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'brae-size-'));
let demo;
try {
  demo = fs.statSync(writeDemoPage(dir, { program, template })).size;
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
const built = {
  engine: fs.statSync(engine).size,
  'engine gzipped': zlib.gzipSync(fs.readFileSync(engine), { level: 9 }).length,
  'template page': fs.statSync(template).size,
  'page with the demo payloads': demo,
};
const kb = (n) => `${(n / 1000).toFixed(1)} KB`;
check('the engine is under 600 KB', built.engine < 600000, kb(built.engine));
check('a page with the demo payloads is under 700 KB', demo < 700000, kb(demo));

// The table rows of the "Sizes" section: | what | N KB | ... (the row's first cell names a size above).
const docs = fs.readFileSync(path.join(root, 'docs/web.md'), 'utf8');
const section = docs.split(/^## /m).find((s) => s.startsWith('Sizes')) ?? '';
const stated = {};
for (const m of section.matchAll(/^\| *([^|]+?) *\| *([\d.]+) KB *\|/gm)) stated[m[1].replace(/`[^`]*`/g, '').trim()] = Number(m[2]) * 1000;
for (const [what, size] of Object.entries(built)) {
  const said = stated[what];
  check(`docs/web.md states the ${what}`, said !== undefined && Math.abs(said - size) <= 0.03 * size,
    `${said === undefined ? 'not stated' : kb(said)}, built ${kb(size)}`);
}
end();
