// Load, intake and decode through the real engine with generated weightless
// models (they load as empty models and decode to empty text).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import {
  Kind, PONG, READY, audio, begin, cancel, error, failAlloc, finish, frame, liveEngine, load, loadMsg, noShim, openFds,
  outcomes, procVisible, replies, replyLines, runEngine, tempDir,
} from './harness.mjs';

const dir = tempDir();
const [multi, english, hundred] = ['multilingual', 'english', 'hundred'].map((variant) => join(dir, `${variant}.bin`));
writeTestModel(multi, { variant: 'multilingual' });
writeTestModel(english, { variant: 'english' });
writeTestModel(hundred, { nVocab: 51866 }); // 100 languages, as the library knows; multi has 99

// Windows builds must keep stdin and stdout binary: no CR LF translation and
// no end of input at 0x1A. Frame lengths and samples carry those bytes here,
// the model sits under a non-ASCII folder name; two threads show in the log.
// Then padding, the short audio context, prompt tokens and ids in full.
test('a dictation: exact reply and log lines, through a non-ASCII path and frames holding 0x1A and CR LF; decode ' +
  'parameters: padding, short context, prompt tokens, ids in full', async (t) => {
  const folder = join(tempDir(t), 'mod\u00e8le \u00fc\u00df \u8bed\u97f3 \u{1F600}');
  mkdirSync(folder);
  const model = join(folder, 'mod\u00e8le.bin');
  writeTestModel(model, { variant: 'multilingual' });
  const pattern = Buffer.from([0x1a, 0x0d, 0x0a, 0x3a, 0x0d, 0x0a, 0x1a, 0x3a]);
  const samples = (n) => frame(Kind.Audio, Buffer.alloc(n * 4).map((_, i) => pattern[i % pattern.length]));
  // 643 samples: length bytes 0D 0A 00 00; 1664 samples: 01 1A 00 00.
  const frames = [samples(643), samples(1664), samples(16015 - 643 - 1664)];
  assert.deepEqual([...frames[0].subarray(0, 2), frames[1][1]], [0x0d, 0x0a, 0x1a]);
  const big = 9007199254740991;
  const r = await runEngine([load(model, { threads: 2, shortWindowSamples: 48000, shortAudioCtx: 768 }), begin(7),
    ...frames, finish(7), begin(1), finish(1), begin(2, 'auto', 'hello Quillet'), audio(new Float32Array(47999)), finish(2),
    begin(big, 'de'), audio(new Float32Array(48000)), finish(big), finish(7), frame(Kind.Ping)]);
  const [, ready, ...rest] = r.stdout.split('\n');
  assert.match(ready, READY);
  [[7, 1000], [1, 0], [2, 2999], [big, 3000]].forEach(([id, ms], i) => assert.match(rest[i],
    new RegExp(`^\\{"type":"result","requestId":${id},"text":"","decodeMs":\\d+,"audioMs":${ms}\\}$`)));
  assert.equal(rest.slice(4).join('\n'), error('NO_REQUEST', 7) + PONG);
  const log = r.stderr.match(/^quillet-whisper: .*$/gm);
  assert.match(log[0], /^quillet-whisper: loaded device=cpu fallback=0 in \d+ ms; .+$/);
  assert.equal(log[1], 'quillet-whisper: decode params strategy=greedy no_timestamps=0 single_segment=0 audio_ctx=768 ' +
    'language=en translate=0 no_context=1 suppress_blank=1 suppress_nst=1 threads=2 samples=16015 prompt_tokens=0');
  assert.match(log[2], /^quillet-whisper: decoded 1000 ms audio in \d+ ms, 0 segments$/);
  const params = log.filter((l) => l.startsWith('quillet-whisper: decode params')).slice(1);
  [/audio_ctx=768 language=en .* samples=0 prompt_tokens=0$/,
    /audio_ctx=768 language=auto .* samples=47999 prompt_tokens=[1-9]\d*$/,
    /audio_ctx=0 language=de .* samples=48000 prompt_tokens=0$/].forEach((p, i) => assert.match(params[i], p));
  // Padded to 16,800 samples, even an empty request is decoded, not skipped.
  assert.doesNotMatch(r.stderr, /input is too short/);
});

test('load validation: order, member rules and boundaries; a refused load keeps the model', async () => {
  const msg = (extra) => JSON.stringify(loadMsg(multi, extra));
  const cases = [
    // Past validation, these paths are merely missing (4096 UTF-16 units).
    [msg({ modelPath: 'y'.repeat(4096) }), 'MODEL_MISSING'],
    [msg({ modelPath: '\u{1F600}'.repeat(1024) + 'y'.repeat(2048) }), 'MODEL_MISSING'],
    [msg({ threads: 1, shortAudioCtx: 1500, shortWindowSamples: 0 }).replace('"version":2', '"version":2.0'), 'ready'],
    [msg({ threads: 8 }), 'ready'],
    ['not json', 'BAD_FRAME'],
    ...[JSON.stringify({ version: 1, bogus: true }), JSON.stringify({ modelPath: multi }), msg({ version: '2' }),
      msg({ version: 3 })].map((p) => [p, 'VERSION_MISMATCH']),
    ...[{ extra: 1 }, { threads: '2' }, { threads: 0 }, { threads: 9 }, { shortAudioCtx: 1501 }, { shortWindowSamples: -1 },
      { device: 'CPU' }, { device: 'gpu' }, { modelPath: '' }, { modelPath: 'x'.repeat(4097) },
      { modelPath: '\u{1F600}'.repeat(1024) + 'x'.repeat(2049) }].map((e) => [msg(e), 'BAD_FRAME']),
  ];
  const lines = replyLines(await runEngine([...cases.map(([payload]) => frame(Kind.Load, payload)), begin(1), finish(1)]));
  cases.forEach(([payload, code], i) => {
    if (code === 'ready') assert.match(lines[i], READY, payload);
    else assert.equal(lines[i] + '\n', error(code), payload.slice(0, 60));
  });
  assert.match(lines[cases.length], /^\{"type":"result","requestId":1,/);
});

test('every failed load closes the model file and leaves no model; running out of memory is OUT_OF_MEMORY', {
  timeout: 120000, // a FIFO that blocked the open would hang here
}, async (t) => {
  // Every refusal of the walk leaves by one path (model_files.test has every reason).
  const d = tempDir(t);
  writeFileSync(join(d, 'garbage'), 'this is not a model at all'.repeat(100));
  mkdirSync(join(d, 'a-directory'));
  if (procVisible) execFileSync('mkfifo', [join(d, 'a-fifo')]); // refused at once, not waited on

  // With the allocation shim, the multilingual model's decoder state (its
  // 51,865 x 448 logits) cannot be allocated; the English model's can.
  const oom = !noShim;
  const engine = await liveEngine(t, { env: oom ? failAlloc(51865 * 448 * 4) : {} });
  assert.match(await engine.ask(load(english)), READY);
  const fds = procVisible ? openFds(engine.child.pid) : 0;
  const cases = [
    [join(d, 'garbage'), 'MODEL_INVALID'],
    [join(d, 'missing.bin'), 'MODEL_MISSING'],
    [join(d, 'a-directory'), 'MODEL_MISSING'],
    ...(procVisible ? [[join(d, 'a-fifo'), 'MODEL_MISSING']] : []),
    [english + '\u0000.txt', 'MODEL_MISSING'],
    [english, 'GPU_UNAVAILABLE', { device: 'cuda' }],
    ...(oom ? [[multi, 'OUT_OF_MEMORY']] : []),
  ];
  for (const [path, code, extra] of cases) {
    assert.equal(await engine.ask(load(path, extra)) + '\n', error(code), path);
    assert.equal(await engine.ask(begin(3)) + '\n', error('NOT_LOADED', 3), path);
    if (procVisible) assert.equal(openFds(engine.child.pid), fds, `descriptors after ${path}`);
  }
  assert.match(await engine.ask(load(english)), READY);
});

// Requests end by exact id: Cancel, Finish, Unload and Load; an over-long one
// ends at the audio that crosses the limit. Then, with no model, Begin's checks.
test('audio intake limits; cancel, finish, unload and load end requests by exact id; begin: schema, then model, then ' +
  'busy, then language (English-only models take auto and en, others their own languages)', async () => {
  const frame480k = audio(new Float32Array(480000));
  const bad = [
    '{"requestId":1,"language":"en"}', '{"requestId":1,"language":"en","prompt":"","x":1}',
    '{"requestId":-1,"language":"en","prompt":""}', '{"requestId":1,"language":5,"prompt":""}',
    ...['EN', 'e', 'en-us', 'english'].map((l) => `{"requestId":1,"language":"${l}","prompt":""}`),
    '{"requestId":1,"language":"en","prompt":null}', JSON.stringify({ requestId: 1, language: 'en', prompt: 'p'.repeat(2049) }),
  ];
  const r = await runEngine([
    audio([0.5]), frame(Kind.Audio, Buffer.alloc(3)), frame(Kind.Audio, Buffer.alloc(6)), frame(Kind.Audio),
    load(multi), begin(3), ...Array.from({ length: 20 }, () => frame480k), audio([0.1]), audio([0.1]), finish(3),
    cancel(1), frame(Kind.Cancel, '{"requestId":1,"x":2}'), frame(Kind.Finish, '{}'), finish(8),
    begin(8), finish(9), cancel(9), audio([0.25]), finish(8), begin(10), cancel(10), finish(10),
    begin(11), load(multi), audio([0.1]), finish(11), begin(12), frame(Kind.Unload), begin(13),
    ...bad.map((p) => frame(Kind.Begin, p)),
    begin(2, 'zz'), load(multi), begin(3, 'zz'), begin(4, 'xyz'), begin(5, 'en', 'p'.repeat(2048)), begin(6, 'zz'), begin(5, 'en'),
    // English-only models take auto and en only.
    load(english), begin(7, 'de'), begin(8, 'auto'), cancel(8), begin(9, 'en'),
    // "su" is the 99th language the library knows, "yue" the 100th.
    load(multi), begin(10, 'su'), cancel(10), begin(11, 'yue'), begin(12, 'auto'), cancel(12),
    load(hundred), begin(13, 'yue'),
  ]);
  assert.deepEqual(outcomes(r), [
    ['NO_REQUEST', undefined], ['BAD_FRAME', undefined], ['BAD_FRAME', undefined], ['BAD_FRAME', undefined], ['ready', undefined],
    ['AUDIO_TOO_LONG', 3], ['NO_REQUEST', undefined], ['NO_REQUEST', 3],
    ['BAD_FRAME', undefined], ['BAD_FRAME', undefined], ['NO_REQUEST', 8], ['NO_REQUEST', 9],
    ['result', 8], ['NO_REQUEST', 10],
    ['ready', undefined], ['NO_REQUEST', undefined], ['NO_REQUEST', 11], // the load dropped request 11 silently
    ['unloaded', undefined], ['NOT_LOADED', 13],
    ...bad.map(() => ['BAD_FRAME', undefined]), ['NOT_LOADED', 2], ['ready', undefined], ['LANGUAGE_UNSUPPORTED', 3],
    ['LANGUAGE_UNSUPPORTED', 4], ['BUSY', 6], ['BUSY', 5], ['ready', undefined], ['LANGUAGE_UNSUPPORTED', 7],
    ['ready', undefined], ['LANGUAGE_UNSUPPORTED', 11], ['ready', undefined],
  ]);
  assert.equal(replies(r)[12].audioMs, 0);
});

// The library splits a prompt with a recursive regex executor; the longest
// prompts must not need more stack than a Windows main thread (2 MiB) or a
// 1 MiB Linux limit gives. Every Finish gets its line and the engine goes on.
test('the longest prompts in any script get a result on a small main-thread stack', { timeout: 600000 }, async (t) => {
  const engine = await liveEngine(t, { stackKiB: 1024 });
  assert.match(await engine.ask(load(multi)), READY);
  // Each UTF-8 byte is one token of the test model's byte vocabulary.
  const prompts = [['\u65e5'.repeat(2048), 6144], ['\u00e9'.repeat(2048), 4096], ['\u{1F600}'.repeat(1024), 4096]];
  for (const [prompt, tokens] of prompts) {
    const line = await engine.ask(begin(1, 'en', prompt), audio(new Float32Array(16000)), finish(1));
    assert.match(line ?? '', /^\{"type":"result","requestId":1,"text":"",/, `prompt of ${tokens} bytes: ${engine.stderr}`);
    assert.equal(await engine.ask(frame(Kind.Ping)), PONG.trim());
    assert.match(engine.stderr, new RegExp(`prompt_tokens=${tokens}\n`));
  }
  assert.equal(await engine.close(), 0);
});

test('running out of memory in a dictation ends the request and the engine goes on', { skip: noShim }, async () => {
  const cases = [
    // 12,345 samples: the first growth of the sample store; the intake
    // reports it with the request's id and drops the request.
    [12345 * 4, [begin(31), audio(new Float32Array(12345)), audio(new Float32Array(10)), finish(31)],
      [['OUT_OF_MEMORY', 31], ['NO_REQUEST', undefined], ['NO_REQUEST', 31]]],
    // Padding an empty request to 16,800 samples: thrown inside the decode,
    // reported by the frame loop without an id; the request is gone.
    [16800 * 4, [begin(8), finish(8), finish(8), begin(9), audio(new Float32Array(16801)), finish(9)],
      [['OUT_OF_MEMORY', undefined], ['NO_REQUEST', 8], ['result', 9]]],
  ];
  for (const [bytes, frames, want] of cases) {
    const r = await runEngine([load(multi), ...frames], { env: failAlloc(bytes) });
    assert.deepEqual([outcomes(r), r.code], [[['ready', undefined], ...want], 0], String(bytes));
  }
});
