// A host as a user would write it, run by node.exe from a folder where the
// three packages were installed from their npm tarballs: everything is
// required by package name. scripts/test-wine.sh copies it there.
//   QUILLET_WINE_MODEL   model file (the toy dictation model)
//   QUILLET_WINE_SAMPLE  16 kHz mono 16-bit WAV that the model transcribes
//   QUILLET_WINE_TEXT    its expected text
//   QUILLET_WINE_BIN, QUILLET_WINE_WORK, QUILLET_WINE_XDO   as for the other Wine tests
// The client's own rules (error codes, writes after the end, stubs of every export) are tested off Windows:
// engine/client/tests.

import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { test } from 'node:test';

import { keyboardHook, pcmOf } from './support.mjs';

const require = createRequire(import.meta.url);

test('@quillet/engine: the bundled engine transcribes a dictation streamed in pieces', async () => {
  const { startEngine, enginePath, EngineError } = require('@quillet/engine');
  const esm = await import('@quillet/engine');
  assert.equal(esm.EngineError, EngineError, 'one client behind require() and import');
  assert.match(enginePath(), /node_modules[\\/]@quillet[\\/]engine[\\/]prebuilds[\\/]win32-x64[\\/]quillet-whisper\.exe$/);
  const log = [];
  const engine = await esm.startEngine({ stderr: (line) => log.push(line) }); // the bundled engine by default
  try {
    await assert.rejects(engine.load({ modelPath: process.env.QUILLET_WINE_SAMPLE }), (e) => e instanceof EngineError &&
      e.code === 'MODEL_INVALID' && e.reason === 'not a whisper.cpp model file (magic)');
    await engine.load({
      modelPath: process.env.QUILLET_WINE_MODEL, device: 'cpu', threads: 2,
      shortWindowSamples: 9600001, shortAudioCtx: 256,
    });
    const dictation = await engine.begin({ language: 'en' });
    const pcm = pcmOf(process.env.QUILLET_WINE_SAMPLE);
    for (let i = 0; i < pcm.length; i += 3200) await dictation.write(pcm.subarray(i, i + 3200));
    assert.equal((await dictation.finish()).text, process.env.QUILLET_WINE_TEXT);
  } finally {
    await engine.close();
  }
  const cpu = log.map((l) => /loaded CPU backend from (.*)$/.exec(l)).find(Boolean);
  assert.ok(cpu, log.join('\n'));
  console.log(`# cpu-backend ${cpu[1].split(/[\\/]/).pop()}`);
});

test('@quillet/keywatch and @quillet/appfocus: load by name, one object from require() and import; ' +
  'a stubbed sendKeys reaches a named import and types nothing, the real one types the paste', async (t) => {
  const keywatch = require('@quillet/keywatch');
  const status = keywatch.status();
  assert.deepEqual([status.platform, status.running], ['win32', false]);
  const imported = await import('@quillet/keywatch');
  assert.equal(imported.default, keywatch);
  const appfocus = require('@quillet/appfocus');
  const s = appfocus.snapshot();
  assert.deepEqual([s.valid, s.reason, s.app, s.clockMs > 0], [false, 'stopped', null, true]);
  assert.equal((await import('@quillet/appfocus')).default, appfocus);

  // As a host's unit test stubs it; a low-level hook (the Wine helper) sees what is typed.
  const real = keywatch.sendKeys;
  t.after(() => {
    keywatch.sendKeys = real;
  });
  const collect = await keyboardHook(8, 2000);
  const calls = [];
  keywatch.sendKeys = (command) => {
    calls.push(command);
    return 'sent';
  };
  assert.equal(imported.sendKeys('paste'), 'sent'); // as the code under test calls it
  assert.deepEqual(calls, ['paste']);
  keywatch.sendKeys = real;
  assert.equal(imported.sendKeys('paste'), 'sent');
  // Exactly one paste, as four injected events. The generic Control key reaches hooks as 17 under Wine, as 162 on
  // Windows.
  const lines = await collect();
  const control = lines[0]?.split(' ')[0];
  assert.ok(control === '17' || control === '162', lines.join(', '));
  assert.deepEqual(lines, [`${control} down 1`, '86 down 1', '86 up 1', `${control} up 1`]);
});
