// The packages' entry points: the engine package from require() (its
// CommonJS build) and import, and the loaders that find the binaries.

import assert from 'node:assert/strict';
import { cpSync, existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import * as esm from '../../index.mjs';
import { SOURCES, buildCommonJS } from '../../build-cjs.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const engineRoot = path.resolve(here, '..', '..');
const nativeRoot = path.resolve(engineRoot, '..', 'native');
const require = createRequire(import.meta.url);
const dir = mkdtempSync(path.join(os.tmpdir(), 'quillet-package-'));
after(() => rmSync(dir, { recursive: true, force: true }));

test('from require(), the CommonJS build exports what the ES module does and streams a dictation', async () => {
  const pkg = path.join(dir, 'engine');
  for (const source of SOURCES) cpSync(path.join(engineRoot, source), path.join(pkg, source));
  buildCommonJS(pkg);
  const cjs = require(path.join(pkg, 'dist', 'index.cjs'));
  assert.deepEqual(Object.keys(cjs).sort(), Object.keys(esm).sort());
  const engine = await cjs.startEngine({ enginePath: process.execPath, extraArgs: [path.join(here, 'fake-engine.mjs')] });
  try {
    await engine.load({ modelPath: process.execPath }); // the fake loads any file there is
    const d = await engine.begin({ language: 'en' });
    await d.write(Int16Array.of(8192, -8192));
    assert.equal((await d.finish()).text, 'samples=2 first=0.25 last=-0.25');
    await assert.rejects(engine.begin({ language: 'xx' }), (e) => e instanceof cjs.EngineError && e.code === 'LANGUAGE_UNSUPPORTED');
  } finally {
    await engine.close();
  }
});

test('the engine binary: the prebuilt one, its app.asar.unpacked copy, this repository\'s build, else a clear error', () => {
  const exe = path.join('prebuilds', 'win32-x64', 'quillet-whisper.exe');
  const root = path.join(dir, 'app', 'resources', 'app.asar', 'node_modules', '@quillet', 'engine');
  const unpacked = root.replace(`${path.sep}app.asar${path.sep}`, `${path.sep}app.asar.unpacked${path.sep}`);
  assert.equal(esm.enginePath({ root, platform: 'win32', arch: 'x64', exists: (p) => p.includes('unpacked') }), path.join(unpacked, exe));
  assert.throws(() => esm.enginePath({ root: path.join(dir, 'empty'), platform: 'win32', arch: 'x64' }),
    { code: 'ERR_QUILLET_BINARY_MISSING', message: /prebuilds.win32-x64.quillet-whisper\.exe/ });
  assert.throws(() => esm.enginePath({ root, platform: 'darwin', arch: 'arm64' }),
    { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM', message: /Windows x64 only, not darwin-arm64/ });
  assert.equal(esm.enginePath({ exists: () => true, platform: 'linux', arch: 'x64' }),
    path.resolve(engineRoot, '..', '..', '..', 'build', 'linux', 'bin', 'quillet-whisper'));
});

test('the native modules: Windows x64 only, from prebuilds or app.asar.unpacked', () => {
  for (const name of ['keywatch', 'appfocus']) {
    const { locate } = require(path.join(nativeRoot, name, 'load.js'));
    const [pkg, file, win] = [`@quillet/${name}`, `${name}.node`, { platform: 'win32', arch: 'x64' }];
    const root = path.join('C:', 'app', 'resources', 'app.asar', 'node_modules', '@quillet', name);
    assert.equal(locate(pkg, file, { root, ...win, exists: (p) => p.includes('unpacked') }),
      path.join('C:', 'app', 'resources', 'app.asar.unpacked', 'node_modules', '@quillet', name, 'prebuilds', 'win32-x64', file));
    assert.throws(() => locate(pkg, file, { root, ...win, exists: () => false }), { code: 'ERR_QUILLET_BINARY_MISSING' });
    // Elsewhere it says so, rather than loading the simulator built for the tests.
    if (process.platform !== 'win32') {
      assert.throws(() => require(path.join(nativeRoot, name)),
        { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM', message: new RegExp(`^${pkg} runs on Windows x64 only`) });
    }
  }
});

test('every package carries the version of the Windows binaries, and its files exist', () => {
  const cmake = path.resolve(engineRoot, '..', '..', '..', 'cmake', 'version.cmake');
  const [, version] = /set\(QUILLET_VERSION (\S+)\)/.exec(readFileSync(cmake, 'utf8'));
  for (const folder of [engineRoot, path.join(nativeRoot, 'keywatch'), path.join(nativeRoot, 'appfocus')]) {
    const pkg = JSON.parse(readFileSync(path.join(folder, 'package.json'), 'utf8'));
    assert.equal(pkg.version, version, pkg.name);
    const exported = Object.values(pkg.exports['.']).flatMap((c) => Object.values(c)).filter((x) => !x.startsWith('./dist/'));
    for (const f of [...pkg.files.filter((x) => !x.endsWith('/') && x !== 'THIRD_PARTY_NOTICES.md'), ...exported]) {
      assert.ok(existsSync(path.join(folder, f)), `${pkg.name}: ${f}`);
    }
  }
});
