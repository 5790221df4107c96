// The transcribe command, run as a user would, with the fake engine behind it.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { chmodSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { parseCommandLine } from '../transcribe.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const cli = path.join(here, '..', 'transcribe.mjs');
const sample = path.join(here, '..', '..', 'samples', 'hello-world.wav');

function run(args, env = {}) {
  return promisify(execFile)(process.execPath, [cli, ...args], { env: { ...process.env, ...env } })
    .then(({ stdout, stderr }) => ({ code: 0, stdout, stderr }))
    .catch((err) => ({ code: err.code, stdout: err.stdout, stderr: err.stderr }));
}

describe('transcribe command line', () => {
  test('options are parsed and checked', () => {
    const o = parseCommandLine(['a.wav', '--device', 'cpu', '--threads', '3', '--language', 'de', '--prompt', 'Hi']);
    assert.equal(o.wav, 'a.wav');
    assert.equal(o.device, 'cpu');
    assert.equal(o.threads, 3);
    assert.equal(o.language, 'de');
    assert.equal(o.prompt, 'Hi');
    assert.throws(() => parseCommandLine(['a.wav', 'b.wav']), /exactly one WAV/);
    assert.throws(() => parseCommandLine(['a.wav', '--threads', '2.5']), /--threads/);
  });

  test('usage errors exit with 2, help with 0', async () => {
    const bad = await run(['--device', 'gpu', 'x.wav']);
    assert.equal(bad.code, 2);
    assert.match(bad.stderr, /usage:/);
    const help = await run(['--help']);
    assert.equal(help.code, 0);
    assert.match(help.stdout, /--model PATH/);
  });
});

describe('transcribe end to end', { skip: process.platform === 'win32' && 'needs a POSIX shell wrapper' }, () => {
  let dir;
  let fakeBin;
  before(() => {
    dir = mkdtempSync(path.join(os.tmpdir(), 'transcribe-cli-test-'));
    fakeBin = path.join(dir, 'fake-engine');
    writeFileSync(fakeBin, `#!/bin/sh\nexec "${process.execPath}" "${path.join(here, 'fake-engine.mjs')}" "$@"\n`);
    chmodSync(fakeBin, 0o755);
  });
  after(() => rmSync(dir, { recursive: true, force: true }));

  test('without --model the toy model is loaded at its trained context and the user told so', async () => {
    const r = await run([sample, '--engine', fakeBin, '--threads', '1', '--verbose']);
    assert.equal(r.code, 0, r.stderr);
    assert.match(r.stderr, /toy dictation model/);
    assert.match(r.stderr, /--model/);
    assert.match(r.stderr, /load toy-dictation-q8_0\.bin shortAudioCtx=256 shortWindowSamples=9600001\n/);
    assert.match(r.stderr, /decoded 4731 ms of audio/);
    // The fake engine echoes how many samples it got: the whole file.
    assert.match(r.stdout, /^samples=75710 /);
  });

  test('a model given with --model is loaded with the engine defaults', async () => {
    const model = path.join(dir, 'model.bin');
    writeFileSync(model, 'ggml');
    const r = await run([sample, '--engine', fakeBin, '--model', model, '--verbose']);
    assert.equal(r.code, 0, r.stderr);
    assert.match(r.stderr, /load model\.bin shortAudioCtx=0 shortWindowSamples=0\n/);
    assert.doesNotMatch(r.stderr, /toy dictation model/);
  });

  test('QUILLET_WHISPER_BIN picks the engine when --engine is absent', async () => {
    const r = await run([sample], { QUILLET_WHISPER_BIN: fakeBin });
    assert.equal(r.code, 0, r.stderr);
    assert.match(r.stdout, /^samples=75710 /);
  });

  test('engine refusals are reported with their code and exit 1', async () => {
    const missing = await run([sample, '--engine', fakeBin, '--model', path.join(dir, 'none.bin')]);
    assert.equal(missing.code, 1);
    assert.match(missing.stderr, /MODEL_MISSING/);
    const lang = await run([sample, '--engine', fakeBin, '--language', 'xx']);
    assert.equal(lang.code, 1);
    assert.match(lang.stderr, /LANGUAGE_UNSUPPORTED/);
  });

  test('a WAV of the wrong format is refused before the engine starts', async () => {
    const stereo = readFileSync(sample);
    stereo.writeUInt16LE(2, 22); // channel count in the fmt chunk
    const file = path.join(dir, 'stereo.wav');
    writeFileSync(file, stereo);
    const r = await run([file, '--engine', path.join(dir, 'no-engine-here')]);
    assert.equal(r.code, 1);
    assert.match(r.stderr, /2 channels/);
  });

  test('a missing engine is named with a hint', async () => {
    const r = await run([sample, '--engine', path.join(dir, 'no-engine-here')]);
    assert.equal(r.code, 1);
    assert.match(r.stderr, /cannot run the engine/);
    assert.match(r.stderr, /QUILLET_WHISPER_BIN/);
  });
});
