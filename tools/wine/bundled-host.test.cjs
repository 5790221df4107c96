'use strict';
// A host bundled as Electron's templates bundle a main process: esbuild
// (tools/bundle) turns this file and the three packages into one CommonJS
// file in a folder of its own, with no node_modules beside it, and the
// packages' binaries copied into quillet/ beside the bundle. The documented
// setting, QUILLET_PREBUILDS_DIR, set before the first require, tells the
// loaders where they are. scripts/test-wine.sh bundles it (tools/wine/bundle.mjs)
// and runs the bundle with node.exe.
//   QUILLET_WINE_MODEL, QUILLET_WINE_SAMPLE, QUILLET_WINE_TEXT   as for packages-host.test.mjs
//   QUILLET_WINE_NO_SETTING=1   leave the setting out: the first require must refuse (run by the test below)

const path = require('node:path');

if (!process.env.QUILLET_WINE_NO_SETTING) process.env.QUILLET_PREBUILDS_DIR = path.join(__dirname, 'quillet');
const { enginePath, startEngine } = require('@quillet/engine');
const keywatch = require('@quillet/keywatch');
const appfocus = require('@quillet/appfocus');

const assert = require('node:assert/strict');
const { execFile } = require('node:child_process');
const { test } = require('node:test');
const { pcmOf } = require('./support.mjs'); // bundled in with the rest

test('bundled: the engine from QUILLET_PREBUILDS_DIR transcribes a dictation', async () => {
  assert.equal(enginePath(), path.join(__dirname, 'quillet', 'quillet-whisper.exe'));
  const engine = await startEngine();
  try {
    await engine.load({
      modelPath: process.env.QUILLET_WINE_MODEL, device: 'cpu', threads: 2, shortWindowSamples: 9600001, shortAudioCtx: 256,
    });
    const dictation = await engine.begin({ language: 'en' });
    const pcm = pcmOf(process.env.QUILLET_WINE_SAMPLE);
    for (let i = 0; i < pcm.length; i += 3200) assert.equal(await dictation.write(pcm.subarray(i, i + 3200)), true);
    assert.equal((await dictation.finish()).text, process.env.QUILLET_WINE_TEXT);
  } finally {
    await engine.close();
  }
});

test('bundled: keywatch and appfocus load from QUILLET_PREBUILDS_DIR', () => {
  assert.equal(keywatch.status().platform, 'win32');
  assert.equal(appfocus.snapshot().reason, 'stopped');
});

test('bundled without the setting: the first require refuses, naming both fixes', async () => {
  const { code, stderr } = await new Promise((resolve) => {
    const env = { ...process.env, QUILLET_WINE_NO_SETTING: '1', QUILLET_PREBUILDS_DIR: '' };
    execFile(process.execPath, [__filename], { env },
      (err, stdout, stderr) => resolve({ code: err?.code, stderr }));
  });
  assert.notEqual(code, 0);
  assert.match(stderr, /ERR_QUILLET_BINARY_MISSING/);
  assert.match(stderr, /cannot be found from a bundle/);
  assert.match(stderr, /mark @quillet\/keywatch as external/); // the first package that loads a binary
  assert.match(stderr, /set QUILLET_PREBUILDS_DIR/);
});
