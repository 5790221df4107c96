// The packages' entry points: the engine package from require() and import
// (one client behind both), the loaders that find the binaries (in the
// package, in app.asar.unpacked, where QUILLET_PREBUILDS_DIR says; never
// guessed at from a bundle or from a folder outside this repository), and
// the plain objects the native packages hand the host.

import assert from 'node:assert/strict';
import { cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { inspect } from 'node:util';

import * as esm from '../../index.mjs';
import { SOURCES, buildCommonJS } from '../../build-cjs.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const engineRoot = path.resolve(here, '..', '..');
const nativeRoot = path.resolve(engineRoot, '..', 'native');
const require = createRequire(import.meta.url);
const dir = mkdtempSync(path.join(os.tmpdir(), 'quillet-package-'));
after(() => rmSync(dir, { recursive: true, force: true }));

// Writes each file (relative to `root`) with the given text, folders included.
function files(root, entries) {
  for (const [name, text] of Object.entries(entries)) {
    mkdirSync(path.dirname(path.join(root, name)), { recursive: true });
    writeFileSync(path.join(root, name), text);
  }
  return root;
}

test('require() and import by name share one client: one EngineError, and a dictation streams from the engine found ' +
  'without an enginePath', { skip: process.platform === 'win32' && 'runs the fake through a POSIX shell script' }, async (t) => {
  const pkg = path.join(dir, 'host', 'node_modules', '@quillet', 'engine');
  for (const source of [...SOURCES, 'package.json']) cpSync(path.join(engineRoot, source), path.join(pkg, source));
  buildCommonJS(pkg);
  files(path.join(dir, 'host'), { 'entry.mjs': "export * from '@quillet/engine';\n" });
  const required = createRequire(path.join(dir, 'host', 'entry.cjs'))('@quillet/engine');
  const imported = await import(pathToFileURL(path.join(dir, 'host', 'entry.mjs')).href);
  const names = Object.keys(esm).sort();
  assert.deepEqual([Object.keys(required).sort(), Object.keys(imported).sort()], [names, names]);
  for (const name of names) assert.equal(imported[name], required[name], name);
  // QUILLET_PREBUILDS_DIR is where a bundled app's binaries are: first none, then a script that runs the fake.
  t.after(() => delete process.env.QUILLET_PREBUILDS_DIR);
  process.env.QUILLET_PREBUILDS_DIR = path.join(dir, 'empty');
  await assert.rejects(required.startEngine(), { code: 'ERR_QUILLET_BINARY_MISSING', message: /QUILLET_PREBUILDS_DIR/ });
  const fake = `#!/bin/sh\nexec '${process.execPath}' '${path.join(here, 'fake-engine.mjs')}' "$@"\n`;
  writeFileSync(path.join(dir, 'quillet-whisper'), fake, { mode: 0o755 });
  process.env.QUILLET_PREBUILDS_DIR = dir;
  const engine = await required.startEngine();
  try {
    await engine.load({ modelPath: process.execPath }); // the fake loads any file there is
    const d = await engine.begin({ language: 'en' });
    await d.write(Int16Array.of(8192, -8192));
    assert.equal((await d.finish()).text, 'samples=2 first=0.25 last=-0.25');
    await assert.rejects(engine.begin({ language: 'xx' }), (e) => e instanceof imported.EngineError &&
      e instanceof required.EngineError && e.code === 'LANGUAGE_UNSUPPORTED');
  } finally {
    await engine.close();
  }
});

const win = { platform: 'win32', arch: 'x64', env: {} };
// Each package's binary and its finder: the engine client's enginePath(), the native loaders' locate().
const finders = [['engine', 'quillet-whisper.exe', (o) => esm.enginePath(o)], ...['keywatch', 'appfocus'].map((name) =>
  [name, `${name}.node`, (o) => require(path.join(nativeRoot, name, 'load.js')).locate(`@quillet/${name}`, `${name}.node`, o)])];

test('the binaries: prebuilt, or the app.asar.unpacked copy; QUILLET_PREBUILDS_DIR only there; no guess from a bundle ' +
  'or a build outside this repository; Windows x64 only', () => {
  for (const [name, file, find] of finders) {
    const pkg = `@quillet/${name}`;
    const manifest = { 'package.json': JSON.stringify({ name: pkg }) };
    const prebuilt = path.join('prebuilds', 'win32-x64', file);
    const asar = files(path.join(dir, name, 'resources', 'app.asar', 'node_modules', '@quillet', name), manifest);
    const unpacked = asar.replace(`${path.sep}app.asar${path.sep}`, `${path.sep}app.asar.unpacked${path.sep}`);
    files(unpacked, { [prebuilt]: '' });
    assert.equal(find({ root: asar, ...win }), path.join(unpacked, prebuilt), name);
    // Missing: the message names what to do. A project's build folders (at the depth of this repository's build
    // for either kind of package) are not this repository's.
    const dev = path.join('build', 'windows', 'bin', file);
    const installed = files(path.join(dir, name, 'parent', 'project', 'node_modules', '@quillet', name), manifest);
    files(path.join(dir, name, 'parent'), { [dev]: '', [path.join('project', dev)]: '' });
    assert.throws(() => find({ root: installed, ...win }), (e) => e.code === 'ERR_QUILLET_BINARY_MISSING' &&
      !e.message.includes(dev) && new RegExp(`${prebuilt.replace(/\W/g, '.')}.*external.*QUILLET_PREBUILDS_DIR.*asarUnpack`)
      .test(e.message), name);
    // From a bundle (no package.json of the package, even with a prebuilds folder beside it): refused without the
    // setting, found with it; with the setting, only there.
    const bundle = files(path.join(dir, name, 'bundle'), { [prebuilt]: '', 'main.js': '' });
    assert.throws(() => find({ root: bundle, ...win }), { code: 'ERR_QUILLET_BINARY_MISSING',
      message: new RegExp(`from a bundle.*mark ${pkg} as external.*set QUILLET_PREBUILDS_DIR`) }, name);
    const copied = files(path.join(dir, name, 'copied'), { [file]: '' });
    assert.equal(find({ root: bundle, ...win, env: { QUILLET_PREBUILDS_DIR: copied } }), path.join(copied, file), name);
    if (name === 'engine') assert.equal(find({ root: bundle, ...win, dir: copied }), path.join(copied, file));
    assert.throws(() => find({ root: asar, ...win, env: { QUILLET_PREBUILDS_DIR: bundle } }),
      { code: 'ERR_QUILLET_BINARY_MISSING', message: /missing from QUILLET_PREBUILDS_DIR/ }, `${name}: only there`);
    // Elsewhere it says so at load, rather than loading the simulator built for the tests.
    assert.throws(() => find({ root: asar, ...win, platform: 'darwin', arch: 'x64' }),
      { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM', message: /Windows x64 only.*not (on )?darwin-x64/ }, name);
    if (name !== 'engine' && process.platform !== 'win32') {
      assert.throws(() => require(path.join(nativeRoot, name)),
        { code: 'ERR_QUILLET_UNSUPPORTED_PLATFORM', message: new RegExp(`^${pkg} runs on Windows x64 only`) });
    }
  }
  // The engine in this repository: its development build.
  assert.equal(esm.enginePath({ exists: () => true, platform: 'linux', arch: 'x64', env: {} }),
    path.resolve(engineRoot, '..', '..', '..', 'build', 'linux', 'bin', 'quillet-whisper'));
});

test('the native packages hand the host a plain object: printed in full, a stub replaces a function everywhere', async (t) => {
  const surfaces = {
    keywatch: ['start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys', 'remoteKeysStart', 'remoteKeysStop',
      'remoteKeysState'],
    appfocus: ['start', 'stop', 'recheck', 'snapshot', 'status'],
  };
  for (const [name, surface] of Object.entries(surfaces)) {
    const [pkg, file] = [`@quillet/${name}`, `${name}.node`];
    // A native exports object as Node-API defines it (read-only, hidden properties), in Node's module
    // cache under the binary's path, so that the loader's require finds it there.
    const root = path.join(dir, `${name}-loaded`);
    const binary = path.join(root, 'prebuilds', 'win32-x64', file);
    files(root, { 'package.json': JSON.stringify({ name: pkg }), [path.relative(root, binary)]: '' });
    const native = {};
    for (const f of surface) Object.defineProperty(native, f, { value: () => `native ${f}` });
    require.cache[binary] = { id: binary, filename: binary, loaded: true, exports: native };
    const index = path.join(nativeRoot, name, 'index.js');
    t.after(() => {
      delete require.cache[binary];
      delete require.cache[index];
    });
    // The loader makes the package's object once; index.js and index.mjs hand out that one.
    const { packageObject } = require(path.join(nativeRoot, name, 'load.js'));
    const object = packageObject(pkg, file, surface, { root, ...win });
    assert.equal(require(index), object);
    assert.deepEqual(Object.keys(object), surface);
    assert.match(inspect(object), new RegExp(`${surface.at(-1)}: \\[Function`));
    const imported = await import(pathToFileURL(path.join(nativeRoot, name, 'index.mjs')).href);
    assert.equal(imported.default, object);
    assert.deepEqual(Object.keys(imported).filter((k) => k !== 'default').sort(), [...surface].sort());
    for (const f of surface) {
      assert.equal(imported[f](), `native ${f}`);
      object[f] = () => 'stub';
      assert.deepEqual([object[f](), imported[f]()], ['stub', 'stub'], `${name}.${f}: named imports call through the object`);
    }
  }
});

test('every package carries the version of the Windows binaries, and its files exist', () => {
  const cmake = path.resolve(engineRoot, '..', '..', '..', 'cmake', 'version.cmake');
  const [, version] = /set\(QUILLET_VERSION (\S+)\)/.exec(readFileSync(cmake, 'utf8'));
  const packed = ['THIRD_PARTY_NOTICES.md', 'ELECTRON.md']; // pack.sh writes them
  for (const folder of [engineRoot, path.join(nativeRoot, 'keywatch'), path.join(nativeRoot, 'appfocus')]) {
    const pkg = JSON.parse(readFileSync(path.join(folder, 'package.json'), 'utf8'));
    assert.equal(pkg.version, version, pkg.name);
    const exported = Object.values(pkg.exports['.']).flatMap((c) => Object.values(c)).filter((x) => !x.startsWith('./dist/'));
    for (const f of [...pkg.files.filter((x) => !x.endsWith('/') && !packed.includes(x)), ...exported]) {
      assert.ok(existsSync(path.join(folder, f)), `${pkg.name}: ${f}`);
    }
  }
});
