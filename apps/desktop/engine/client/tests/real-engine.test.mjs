// The client against the built engine. Runs only when QUILLET_WHISPER_BIN
// names the executable, e.g.
//   QUILLET_WHISPER_BIN=build/linux/bin/quillet-whisper node --test apps/desktop/engine/client/tests/

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { startEngine } from '../engine-client.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const enginePath = process.env.QUILLET_WHISPER_BIN;

// A short audio context keeps decoding an empty model quick.
const FAST = { device: 'cpu', threads: 2, shortWindowSamples: 30 * 16000, shortAudioCtx: 256 };

describe('client with the real engine', { skip: !enginePath && 'QUILLET_WHISPER_BIN is not set' }, () => {
  let dir;
  let multilingual;
  before(() => {
    dir = mkdtempSync(path.join(os.tmpdir(), 'engine-client-real-'));
    multilingual = path.join(dir, 'multilingual.bin');
    writeTestModel(multilingual, { variant: 'multilingual' });
  });
  after(() => rmSync(dir, { recursive: true, force: true }));

  test('an engine killed mid-request rejects the transcribe', async () => {
    const victim = await startEngine({ enginePath });
    await victim.load({ modelPath: multilingual, ...FAST });
    const t = victim.transcribe({ samples: new Float32Array(20 * 480000) });
    victim.kill();
    await assert.rejects(t, { code: 'ENGINE_EXITED' });
    assert.equal((await victim.exited).signal, 'SIGKILL');
  });

  test('the demo: the transcribe command prints the dictation sample in words', async () => {
    // what `bash scripts/demo.sh` runs: no --model, so the toy dictation model
    const cli = path.join(here, '..', 'transcribe.mjs');
    const dictation = path.join(here, '..', '..', 'samples', 'dictation.wav');
    const { stdout, stderr } = await promisify(execFile)(process.execPath, [cli, dictation, '--device', 'cpu', '--threads', '2'], {
      env: { ...process.env, QUILLET_WHISPER_BIN: enginePath },
    });
    assert.match(stderr, /toy dictation model/);
    assert.equal(stdout, 'hello world\n');
  });
});
