// The three tarballs as a host on Linux (a developer's machine, a CI runner)
// installs them: scripts/pack.sh packs them (from stand-in binaries: only the
// JavaScript runs here), `npm install` takes them with no platform flags, and
// `npm ci` installs again from the lockfile it wrote. Then the native modules
// refuse at load, not at install. (The engine package used by name from its
// tarball: the Wine stage's packages host; off Windows: package.test.mjs.)

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '..', '..', '..', '..', '..');
const run = promisify(execFile);

// What the host checks once the packages are installed, by name, from CommonJS and ES modules.
const HOST = `
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
const require = createRequire(import.meta.url);
// Refused at load, from import (a caught import() must not end the process) and from require().
for (const name of ['keywatch', 'appfocus']) {
  await assert.rejects(import('@quillet/' + name), { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM' });
  assert.throws(() => require('@quillet/' + name), { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM' });
}
await new Promise((resolve) => setTimeout(resolve, 50));
console.log('host ok');
`;

test('npm install of the three tarballs works off Windows without flags, and npm ci from its lockfile',
  { skip: process.platform === 'win32' && 'the point is a machine that is not Windows', timeout: 240000 }, async (t) => {
    const dir = mkdtempSync(path.join(os.tmpdir(), 'quillet-install-'));
    t.after(() => rmSync(dir, { recursive: true, force: true }));
    const bin = path.join(dir, 'build', 'bin');
    mkdirSync(bin, { recursive: true });
    for (const f of ['quillet-whisper.exe', 'libwhisper.dll', 'ggml.dll', 'ggml-base.dll', 'ggml-cpu.dll', 'keywatch.node',
      'appfocus.node']) writeFileSync(path.join(bin, f), '');
    const out = path.join(dir, 'packages');
    await run('bash', [path.join(root, 'scripts', 'pack.sh'), path.join(dir, 'build'), out])
      .catch((err) => assert.fail(`pack.sh: ${err.stdout}${err.stderr}`));
    const tarballs = readdirSync(out).filter((f) => f.endsWith('.tgz')).map((f) => path.join(out, f));
    assert.equal(tarballs.length, 3);

    const host = path.join(dir, 'host');
    mkdirSync(host);
    writeFileSync(path.join(host, 'package.json'), '{ "name": "host", "private": true }\n');
    writeFileSync(path.join(host, 'host.mjs'), HOST);
    const npm = (...args) => run('npm', [...args, '--offline', '--no-audit', '--no-fund'], { cwd: host })
      .catch((err) => assert.fail(`npm ${args[0]}: ${err.stdout}${err.stderr}`));
    const check = async () => assert.match((await run(process.execPath, ['host.mjs'], { cwd: host })).stdout, /host ok/);

    await npm('install', ...tarballs);
    const lock = JSON.parse(readFileSync(path.join(host, 'package-lock.json'), 'utf8'));
    for (const name of ['engine', 'keywatch', 'appfocus']) {
      const entry = lock.packages[`node_modules/@quillet/${name}`];
      assert.deepEqual([entry?.os, entry?.cpu], [undefined, undefined], `the lockfile holds no platform for ${name}`);
    }
    await check();
    rmSync(path.join(host, 'node_modules'), { recursive: true });
    await npm('ci');
    await check();
  });
