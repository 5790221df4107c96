// The transcribe command, run as a user would, with the fake engine behind it,
// and the demo with the built engine when QUILLET_WHISPER_BIN names it.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { chmodSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
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

test('options are parsed and checked; usage errors exit with 2, help with 0', async () => {
  const o = parseCommandLine(['a.wav', '--device', 'cpu', '--threads', '3', '--language', 'de', '--prompt', 'Hi']);
  assert.deepEqual([o.wav, o.device, o.threads, o.language, o.prompt], ['a.wav', 'cpu', 3, 'de', 'Hi']);
  assert.throws(() => parseCommandLine(['a.wav', 'b.wav']), /exactly one WAV/);
  assert.throws(() => parseCommandLine(['a.wav', '--threads', '2.5']), /--threads/);
  const bad = await run(['--device', 'gpu', 'x.wav']);
  assert.equal(bad.code, 2);
  assert.match(bad.stderr, /usage:/);
  const help = await run(['--help']);
  assert.equal(help.code, 0);
  assert.match(help.stdout, /--model PATH/);
});

let dir;
let fakeBin;
const posixOnly = process.platform === 'win32' && 'needs a POSIX shell wrapper';
before(() => {
  dir = mkdtempSync(path.join(os.tmpdir(), 'transcribe-cli-test-'));
  fakeBin = path.join(dir, 'fake-engine');
  writeFileSync(fakeBin, `#!/bin/sh\nexec "${process.execPath}" "${path.join(here, 'fake-engine.mjs')}" "$@"\n`);
  chmodSync(fakeBin, 0o755);
  writeFileSync(path.join(dir, 'model.bin'), 'ggml');
  const stereo = readFileSync(sample);
  stereo.writeUInt16LE(2, 22); // channel count in the fmt chunk
  writeFileSync(path.join(dir, 'stereo.wav'), stereo);
});
after(() => rmSync(dir, { recursive: true, force: true }));

test('runs: the toy model by default, a given model with the engine defaults, refusals with exit 1', { skip: posixOnly }, async () => {
  const noEngine = path.join(dir, 'no-engine-here');
  // [arguments, environment, exit code, stdout, stderr patterns, stderr patterns that must not appear]
  const cases = [
    [[sample, '--engine', fakeBin, '--threads', '1', '--verbose'], {}, 0, /^samples=75710 /,
      [/toy dictation model/, /--model/, /load toy-dictation-q8_0\.bin shortAudioCtx=256 shortWindowSamples=9600001\n/, /decoded 4731 ms of audio/]],
    [[sample, '--engine', fakeBin, '--model', path.join(dir, 'model.bin'), '--verbose'], {}, 0, /^samples=/,
      [/load model\.bin shortAudioCtx=0 shortWindowSamples=0\n/], [/toy dictation model/]],
    [[sample], { QUILLET_WHISPER_BIN: fakeBin }, 0, /^samples=75710 /, []],
    [[sample, '--engine', fakeBin, '--model', path.join(dir, 'none.bin')], {}, 1, /^$/, [/MODEL_MISSING/]],
    [[sample, '--engine', fakeBin, '--language', 'xx'], {}, 1, /^$/, [/LANGUAGE_UNSUPPORTED/]],
    [[path.join(dir, 'stereo.wav'), '--engine', noEngine], {}, 1, /^$/, [/2 channels/]],
    [[sample, '--engine', noEngine], {}, 1, /^$/, [/cannot run the engine/, /QUILLET_WHISPER_BIN/]],
  ];
  for (const [args, env, code, stdout, stderr, absent = []] of cases) {
    const r = await run(args, env);
    assert.equal(r.code, code, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stdout, stdout, args.join(' '));
    for (const p of stderr) assert.match(r.stderr, p, args.join(' '));
    for (const p of absent) assert.doesNotMatch(r.stderr, p, args.join(' '));
  }
});

test('the demo: the transcribe command prints the dictation sample in words', { skip: !process.env.QUILLET_WHISPER_BIN && 'QUILLET_WHISPER_BIN is not set' }, async () => {
  // what `bash scripts/demo.sh` runs: no --model, so the toy dictation model
  const r = await run([path.join(here, '..', '..', 'samples', 'dictation.wav'), '--device', 'cpu', '--threads', '2']);
  assert.equal(r.code, 0, r.stderr);
  assert.match(r.stderr, /toy dictation model/);
  assert.equal(r.stdout, 'hello world\n');
});
