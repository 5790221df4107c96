// A host as a user would write it, run by node.exe from a folder where the
// three packages were installed from their npm tarballs: everything is
// required by package name. scripts/test-wine.sh copies it there.
//   QUILLET_WINE_MODEL   model file (the toy dictation model)
//   QUILLET_WINE_SAMPLE  16 kHz mono 16-bit WAV that the model transcribes
//   QUILLET_WINE_TEXT    its expected text

import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { test } from 'node:test';

const require = createRequire(import.meta.url);

// The PCM of the sample, a canonical WAV file (data chunk at byte 36), as the microphone would give it.
function pcmOf(file) {
  const wav = readFileSync(file);
  assert.equal(wav.toString('latin1', 36, 40), 'data', `${file}: not a canonical WAV file`);
  return new Int16Array(wav.buffer.slice(wav.byteOffset + 44, wav.byteOffset + 44 + wav.readUInt32LE(40)));
}

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
    await assert.rejects(engine.begin({ language: 'zz' }), { code: 'LANGUAGE_UNSUPPORTED' });
    const dictation = await engine.begin({ language: 'en' });
    const pcm = pcmOf(process.env.QUILLET_WINE_SAMPLE);
    for (let i = 0; i < pcm.length; i += 3200) await dictation.write(pcm.subarray(i, i + 3200));
    const result = dictation.finish();
    dictation.write(pcm.subarray(0, 3200)); // an audio handler that outlives the dictation: dropped, harmless
    assert.equal((await result).text, process.env.QUILLET_WINE_TEXT);
    assert.equal(await dictation.write(pcm.subarray(0, 3200)), false);
  } finally {
    await engine.close();
  }
  const cpu = log.map((l) => /loaded CPU backend from (.*)$/.exec(l)).find(Boolean);
  assert.ok(cpu, log.join('\n'));
  console.log(`# cpu-backend ${cpu[1].split(/[\\/]/).pop()}`);
});

test('@quillet/keywatch and @quillet/appfocus: load by name, one object from require() and import', async () => {
  const keywatch = require('@quillet/keywatch');
  const status = keywatch.status();
  assert.deepEqual(Object.keys(status), ['platform', 'accessibility', 'listen', 'running', 'epoch', 'failure']);
  assert.deepEqual([status.platform, status.running], ['win32', false]);
  assert.equal((await import('@quillet/keywatch')).default, keywatch);
  const appfocus = require('@quillet/appfocus');
  const s = appfocus.snapshot();
  assert.deepEqual([s.valid, s.reason, s.app, s.clockMs > 0], [false, 'stopped', null, true]);
  assert.equal((await import('@quillet/appfocus')).default, appfocus);
});
