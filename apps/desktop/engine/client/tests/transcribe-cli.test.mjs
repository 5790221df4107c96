// The transcribe command, run as a user would, with the fake engine behind it,
// and the demo with the built engine when QUILLET_WHISPER_BIN names it.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const sample = path.join(here, '..', '..', 'samples', 'hello-world.wav');
const run = (args, env = {}) => new Promise((resolve) => {
  execFile(process.execPath, [path.join(here, '..', 'transcribe.mjs'), ...args], { env: { ...process.env, ...env } },
    (err, stdout, stderr) => resolve({ code: err ? err.code : 0, stdout, stderr }));
});

test('runs: the toy model by default, a given model and options as given; refusals exit 1, usage errors 2, help 0', {
  skip: process.platform === 'win32' && 'needs a POSIX shell wrapper',
}, async (t) => {
  const dir = mkdtempSync(path.join(os.tmpdir(), 'transcribe-cli-test-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const fake = path.join(dir, 'fake-engine');
  writeFileSync(fake, `#!/bin/sh\nexec "${process.execPath}" "${path.join(here, 'fake-engine.mjs')}" "$@"\n`);
  chmodSync(fake, 0o755);
  // [arguments, environment, exit code, stdout, stderr patterns, stderr patterns that must not appear]
  const cases = [
    [[sample, '--engine', fake, '--threads', '1', '--verbose'], {}, 0, /^samples=75710 /, [/toy dictation model/, /--model/,
      /load toy-dictation-q8_0\.bin \{"version":2,"device":"auto","threads":1,"shortWindowSamples":9600001,"shortAudioCtx":256\}\n/,
      /decoded 4731 ms of audio/]],
    [[sample, '--engine', fake, '--model', sample, '--device', 'cpu', '--threads', '3', '--language', 'de', '--prompt', 'Hi',
      '--verbose'], {}, 0, /^samples=/, [/begin \{"requestId":1,"language":"de","prompt":"Hi"\}\n/,
        /load hello-world\.wav \{"version":2,"device":"cpu","threads":3,"shortWindowSamples":0,"shortAudioCtx":0\}\n/],
      [/toy dictation model/]], // the fake loads any file
    [[sample], { QUILLET_WHISPER_BIN: fake }, 0, /^samples=75710 /, []],
    [[sample, '--engine', fake, '--model', path.join(dir, 'none.bin')], {}, 1, /^$/, [/MODEL_MISSING/]],
    [[sample, '--engine', fake, '--language', 'xx'], {}, 1, /^$/, [/LANGUAGE_UNSUPPORTED/]],
    [[fake, '--engine', path.join(dir, 'none')], {}, 1, /^$/, [/not a WAV file/]],
    [[sample, '--engine', path.join(dir, 'none')], {}, 1, /^$/, [/cannot run the engine/, /QUILLET_WHISPER_BIN/]],
    [['--device', 'gpu', 'x.wav'], {}, 2, /^$/, [/usage:/]],
    [['a.wav', 'b.wav'], {}, 2, /^$/, [/exactly one WAV/]],
    [['a.wav', '--threads', '2.5'], {}, 2, /^$/, [/--threads must be/]],
    [['--help'], {}, 0, /--model PATH/, []],
  ];
  for (const [args, env, code, stdout, stderr, absent = []] of cases) {
    const r = await run(args, env);
    assert.equal(r.code, code, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stdout, stdout, args.join(' '));
    for (const p of stderr) assert.match(r.stderr, p, args.join(' '));
    for (const p of absent) assert.doesNotMatch(r.stderr, p, args.join(' '));
  }
});

test('the demo: the transcribe command prints the dictation sample in words', {
  skip: !process.env.QUILLET_WHISPER_BIN && 'QUILLET_WHISPER_BIN is not set',
}, async () => {
  // what `bash scripts/demo.sh` runs: no --model, so the toy dictation model
  const r = await run([path.join(here, '..', '..', 'samples', 'dictation.wav'), '--device', 'cpu', '--threads', '2']);
  assert.deepEqual([r.code, r.stdout], [0, 'hello world send message\n'], r.stderr);
});
