// Load, intake and decode through the real engine with generated weightless
// models (they load as empty models and decode to empty text).
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { before, test } from 'node:test';
import { tmpdir } from 'node:os';
import { mkdtempSync } from 'node:fs';

import { writeTestModel, makeTestModel } from '../../tools/make-test-model.mjs';
import { HELLO_CPU, Kind, PONG, UNLOADED, audio, error, frame, json, loadMsg, replies, runEngine, tempDir } from './harness.mjs';

let dir;
let multi;
let english;

before(() => {
  dir = mkdtempSync(join(tmpdir(), 'quillet-dictation-'));
  multi = join(dir, 'multi.bin');
  english = join(dir, 'english.bin');
  writeTestModel(multi, { variant: 'multilingual' });
  writeTestModel(english, { variant: 'english' });
});

const load = (path, extra) => json(Kind.Load, loadMsg(path, extra));
const begin = (requestId, language = 'en', prompt = '') => json(Kind.Begin, { requestId, language, prompt });
const finish = (requestId) => json(Kind.Finish, { requestId });
const cancel = (requestId) => json(Kind.Cancel, { requestId });
// A real-format tensor record whose data stops halfway: the library counts
// the tensors it read and refuses the file.
function cutTensor() {
  const name = Buffer.from('encoder.positional_embedding');
  const head = Buffer.alloc(20);
  head.writeInt32LE(2, 0); // dimensions
  head.writeInt32LE(name.length, 4);
  head.writeInt32LE(0, 8); // f32
  head.writeInt32LE(64, 12); // the compact model's audio state
  head.writeInt32LE(1500, 16); // audio context
  return Buffer.concat([head, name, Buffer.alloc((64 * 1500 * 4) / 2)]);
}

// Tensor headers the speech library would trust blindly.
function hostileTensor({ dims = 1, nameLength = 4, type = 0, extents = [4] } = {}) {
  const head = Buffer.alloc(12 + 4 * extents.length);
  head.writeInt32LE(dims, 0);
  head.writeInt32LE(nameLength, 4);
  head.writeInt32LE(type, 8);
  extents.forEach((e, i) => head.writeInt32LE(e, 12 + 4 * i));
  return Buffer.concat([head, Buffer.from('abcd'), Buffer.alloc(16)]);
}

const READY = /^\{"type":"ready","version":2,"device":"cpu","loadMs":\d+,"fallback":false\}$/;

test('load answers ready with the exact key order and logs the load', async () => {
  const r = await runEngine([load(multi)]);
  const lines = r.stdout.split('\n');
  assert.equal(lines[0] + '\n', HELLO_CPU);
  assert.match(lines[1], READY);
  assert.match(r.stderr, /^quillet-whisper: loaded device=cpu fallback=0 in \d+ ms; .+$/m);
});

test('a whole dictation gives one result line', async () => {
  const r = await runEngine([load(multi), begin(7), audio(new Float32Array(16015)), finish(7), finish(7)]);
  const [ready, result, again] = r.stdout.split('\n').slice(1);
  assert.match(ready, READY);
  assert.match(result, /^\{"type":"result","requestId":7,"text":"","decodeMs":\d+,"audioMs":1000\}$/);
  assert.equal(again + '\n', error('NO_REQUEST', 7));
  assert.match(r.stderr, /quillet-whisper: decode params strategy=greedy no_timestamps=0 single_segment=0 audio_ctx=0 language=en translate=0 no_context=1 suppress_blank=1 suppress_nst=1 threads=2 samples=16015 prompt_tokens=0\n/);
  assert.match(r.stderr, /quillet-whisper: decoded 1000 ms audio in \d+ ms, \d+ segments\n/);
});

// Windows builds must keep stdin and stdout binary: no CR LF translation and
// no end of input at 0x1A. Frame lengths and samples carry those bytes here,
// and the model sits under a non-ASCII folder name.
test('a load through a non-ASCII path and audio bytes 0x1A and CR LF arrive intact', async (t) => {
  const folder = join(tempDir(t), 'mod\u00e8le \u00fc\u00df \u8bed\u97f3 \u{1F600}');
  mkdirSync(folder);
  const model = join(folder, 'mod\u00e8le.bin');
  writeTestModel(model, { variant: 'multilingual' });
  const pattern = Buffer.from([0x1a, 0x0d, 0x0a, 0x3a, 0x0d, 0x0a, 0x1a, 0x3a]);
  const samples = (n) => {
    const b = Buffer.alloc(n * 4);
    for (let i = 0; i < b.length; i++) b[i] = pattern[i % pattern.length];
    return frame(Kind.Audio, b);
  };
  // 643 samples: length bytes 0D 0A 00 00; 1664 samples: 01 1A 00 00.
  const frames = [samples(643), samples(1664), samples(16000 - 643 - 1664)];
  assert.deepEqual([...frames[0].subarray(0, 2)], [0x0d, 0x0a]);
  assert.equal(frames[1][1], 0x1a);
  const r = await runEngine([load(model), begin(5), ...frames, finish(5), frame(Kind.Ping)]);
  const lines = r.stdout.split('\n');
  assert.match(lines[1], READY);
  assert.match(lines[2], /^\{"type":"result","requestId":5,"text":"","decodeMs":\d+,"audioMs":1000\}$/);
  assert.equal(lines[3] + '\n', PONG);
  assert.match(r.stderr, / samples=16000 prompt_tokens=0\n/);
  assert.equal(r.code, 0);
});

test('load validation order and member rules', async () => {
  const cases = [
    ['not json', 'BAD_FRAME'],
    [JSON.stringify({ version: 1, bogus: true }), 'VERSION_MISMATCH'],
    [JSON.stringify({ modelPath: multi }), 'VERSION_MISMATCH'],
    [JSON.stringify({ ...loadMsg(multi), version: '2' }), 'VERSION_MISMATCH'],
    [JSON.stringify({ ...loadMsg(multi), version: 3 }), 'VERSION_MISMATCH'],
    [JSON.stringify({ ...loadMsg(multi), extra: 1 }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), threads: '2' }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), threads: 0 }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), threads: 9 }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), shortAudioCtx: 1501 }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), shortWindowSamples: -1 }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), device: 'CPU' }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), device: 'gpu' }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), modelPath: '' }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), modelPath: 'x'.repeat(4097) }), 'BAD_FRAME'],
    [JSON.stringify({ ...loadMsg(multi), modelPath: '\u{1F600}'.repeat(1024) + 'x'.repeat(2049) }), 'BAD_FRAME'],
  ];
  const input = [load(multi)];
  for (const [payload] of cases) input.push(frame(Kind.Load, payload));
  // The earlier model survives every refused load.
  input.push(begin(1), finish(1));
  const r = await runEngine(input);
  const lines = r.stdout.split('\n').filter(Boolean).slice(2);
  cases.forEach(([payload, code], i) => assert.equal(lines[i] + '\n', error(code), payload.slice(0, 60)));
  assert.match(lines[cases.length], /^\{"type":"result","requestId":1,/);
});

test('accepted edge values of a load', async () => {
  const r = await runEngine([
    load(multi, { version: 2.0, threads: 1, shortAudioCtx: 1500, shortWindowSamples: 0 }),
    load(multi, { threads: 8 }),
    load('y'.repeat(4096)),
    load('\u{1F600}'.repeat(1024) + 'y'.repeat(2048)),
  ]);
  const lines = r.stdout.split('\n').filter(Boolean).slice(1);
  assert.match(lines[0], READY);
  assert.match(lines[1], READY);
  // Past validation: the 4096-unit paths are merely missing.
  assert.equal(lines[2] + '\n', error('MODEL_MISSING'));
  assert.equal(lines[3] + '\n', error('MODEL_MISSING'));
});

test('failed loads leave no model loaded', async (t) => {
  const garbage = join(dir, 'garbage.bin');
  const empty = join(dir, 'empty.bin');
  const cut = join(dir, 'cut.bin');
  const subdir = join(dir, 'a-directory');
  writeFileSync(garbage, Buffer.from('this is not a model at all'.repeat(100)));
  writeFileSync(empty, Buffer.alloc(0));
  const model = makeTestModel({ variant: 'multilingual' });
  writeFileSync(cut, Buffer.concat([model, cutTensor()]));
  mkdirSync(subdir, { recursive: true });
  const hostile = {
    dims: hostileTensor({ dims: 100, extents: new Array(100).fill(0x41414141) }),
    type: hostileTensor({ type: 999 }),
    name: hostileTensor({ nameLength: 0 }),
    extent: hostileTensor({ dims: 2, extents: [65536, 65536] }),
  };
  const hostileCases = Object.entries(hostile).map(([name, tensor]) => {
    const path = join(dir, `hostile-${name}.bin`);
    writeFileSync(path, Buffer.concat([model, tensor]));
    return [path, 'MODEL_INVALID'];
  });
  const negative = Buffer.from(model);
  negative.writeInt32LE(-64, 12); // audio state
  writeFileSync(join(dir, 'negative.bin'), negative);
  const uneven = Buffer.from(model);
  uneven.writeInt32LE(3, 16); // audio heads that do not divide the state
  writeFileSync(join(dir, 'uneven.bin'), uneven);
  const cases = [
    ...hostileCases,
    [join(dir, 'negative.bin'), 'MODEL_INVALID'],
    [join(dir, 'uneven.bin'), 'MODEL_INVALID'],
    [join(dir, 'missing.bin'), 'MODEL_MISSING'],
    [subdir, 'MODEL_MISSING'],
    [multi + '\u0000.txt', 'MODEL_MISSING'],
    [garbage, 'MODEL_INVALID'],
    [empty, 'MODEL_INVALID'],
    [cut, 'MODEL_INVALID'],
  ];
  for (const [path, code] of cases) {
    const r = await runEngine([load(multi), load(path), begin(3)]);
    const lines = r.stdout.split('\n').filter(Boolean).slice(1);
    assert.match(lines[0], READY);
    assert.equal(lines[1] + '\n', error(code), path);
    assert.equal(lines[2] + '\n', error('NOT_LOADED', 3), path);
  }
});

test('explicit GPU families without a device are unavailable; auto falls back', async () => {
  const r = await runEngine([
    load(multi, { device: 'cuda' }), load(multi, { device: 'vulkan' }), load(multi, { device: 'metal' }),
    load(multi, { device: 'auto' }), begin(1),
  ]);
  const lines = r.stdout.split('\n').filter(Boolean).slice(1);
  assert.deepEqual(lines.slice(0, 3).map((l) => l + '\n'), [error('GPU_UNAVAILABLE'), error('GPU_UNAVAILABLE'), error('GPU_UNAVAILABLE')]);
  assert.match(lines[3], READY);
  assert.equal(lines.length, 4);

  const sim = await runEngine([load(multi, { device: 'auto' })], { env: { QUILLET_WHISPER_TEST_FAIL_GPU: '1' } });
  assert.match(sim.stdout.split('\n')[1], /"device":"cpu","loadMs":\d+,"fallback":true\}$/);
  assert.match(sim.stderr, /loaded device=cpu fallback=1 in/);
});

test('begin: schema, then model, then busy, then language', async () => {
  const ok = JSON.stringify({ requestId: 1, language: 'en', prompt: '' });
  const bad = [
    '{"requestId":1,"language":"en"}',
    '{"requestId":1,"language":"en","prompt":"","x":1}',
    '{"requestId":-1,"language":"en","prompt":""}',
    '{"requestId":1,"language":"EN","prompt":""}',
    '{"requestId":1,"language":"e","prompt":""}',
    '{"requestId":1,"language":"en-us","prompt":""}',
    '{"requestId":1,"language":"english","prompt":""}',
    '{"requestId":1,"language":5,"prompt":""}',
    '{"requestId":1,"language":"en","prompt":null}',
    JSON.stringify({ requestId: 1, language: 'en', prompt: 'p'.repeat(2049) }),
  ];
  const r = await runEngine([
    ...bad.map((p) => frame(Kind.Begin, p)),
    begin(2, 'zz'),
    load(multi),
    begin(3, 'zz'),
    begin(4, 'xyz'),
    begin(5, 'en', 'p'.repeat(2048)),
    begin(6, 'zz'),
    begin(5, 'en'),
    frame(Kind.Begin, ok),
  ]);
  const lines = replies(r);
  const want = [
    ...bad.map(() => ({ type: 'error', code: 'BAD_FRAME' })),
    { type: 'error', code: 'NOT_LOADED', requestId: 2 },
    'ready',
    { type: 'error', code: 'LANGUAGE_UNSUPPORTED', requestId: 3 },
    { type: 'error', code: 'LANGUAGE_UNSUPPORTED', requestId: 4 },
    { type: 'error', code: 'BUSY', requestId: 6 },
    { type: 'error', code: 'BUSY', requestId: 5 },
    { type: 'error', code: 'BUSY', requestId: 1 },
  ];
  assert.equal(lines.length, want.length);
  want.forEach((w, i) => (w === 'ready' ? assert.equal(lines[i].type, 'ready') : assert.deepEqual(lines[i], w)));
});

test('English-only models take auto and en only', async () => {
  const r = await runEngine([
    load(english), begin(1, 'de'), begin(2, 'fr'), begin(3, 'auto'), cancel(3), begin(4, 'en'), cancel(4),
    load(multi), begin(5, 'de'), cancel(5),
  ]);
  const lines = replies(r);
  assert.equal(lines[0].type, 'ready');
  assert.deepEqual(lines[1], { type: 'error', code: 'LANGUAGE_UNSUPPORTED', requestId: 1 });
  assert.deepEqual(lines[2], { type: 'error', code: 'LANGUAGE_UNSUPPORTED', requestId: 2 });
  assert.equal(lines[3].type, 'ready');
  assert.equal(lines.length, 4);
});

test('audio intake limits', async () => {
  const frame480k = audio(new Float32Array(480000));
  const r = await runEngine([
    audio([0.5]), frame(Kind.Audio, Buffer.alloc(3)), frame(Kind.Audio, Buffer.alloc(6)), frame(Kind.Audio),
    load(multi), begin(3),
    ...Array.from({ length: 20 }, () => frame480k),
    audio([0.1]),
    audio([0.1]),
    finish(3),
  ]);
  const lines = replies(r);
  assert.deepEqual(lines, [
    { type: 'error', code: 'NO_REQUEST' },
    { type: 'error', code: 'BAD_FRAME' },
    { type: 'error', code: 'BAD_FRAME' },
    { type: 'error', code: 'BAD_FRAME' },
    lines[4],
    { type: 'error', code: 'AUDIO_TOO_LONG', requestId: 3 },
    { type: 'error', code: 'NO_REQUEST' },
    { type: 'error', code: 'NO_REQUEST', requestId: 3 },
  ]);
  assert.equal(lines[4].type, 'ready');
});

test('an audio frame above the frame limit is a fatal bad frame', async () => {
  const r = await runEngine([load(multi), begin(1), frame(Kind.Audio, Buffer.alloc(1920004)), frame(Kind.Ping)]);
  assert.equal(r.code, 65);
  assert.deepEqual(replies(r).slice(1), [{ type: 'error', code: 'BAD_FRAME' }]);
});

test('cancel and finish match request ids exactly', async () => {
  const r = await runEngine([
    cancel(1), frame(Kind.Cancel, '{"requestId":1,"x":2}'), frame(Kind.Finish, '{}'),
    load(multi), finish(8),
    begin(8), finish(9), cancel(9), audio([0.25]), finish(8),
    begin(10), cancel(10), finish(10),
    begin(11), load(multi), audio([0.1]), finish(11),
  ]);
  const lines = replies(r);
  assert.deepEqual(lines[0], { type: 'error', code: 'BAD_FRAME' });
  assert.deepEqual(lines[1], { type: 'error', code: 'BAD_FRAME' });
  assert.equal(lines[2].type, 'ready');
  assert.deepEqual(lines[3], { type: 'error', code: 'NO_REQUEST', requestId: 8 });
  assert.deepEqual(lines[4], { type: 'error', code: 'NO_REQUEST', requestId: 9 });
  assert.equal(lines[5].type, 'result');
  assert.equal(lines[5].requestId, 8);
  assert.equal(lines[5].audioMs, 0);
  assert.deepEqual(lines[6], { type: 'error', code: 'NO_REQUEST', requestId: 10 });
  assert.equal(lines[7].type, 'ready'); // the load dropped request 11 silently
  assert.deepEqual(lines[8], { type: 'error', code: 'NO_REQUEST' });
  assert.deepEqual(lines[9], { type: 'error', code: 'NO_REQUEST', requestId: 11 });
  assert.equal(lines.length, 10);
});

test('decode parameters: padding, short context, prompt tokens, ids in full', async () => {
  const big = 9007199254740991;
  const r = await runEngine([
    load(multi, { shortWindowSamples: 48000, shortAudioCtx: 768 }),
    begin(1), finish(1),
    begin(2, 'auto', 'hello Quillet'), audio(new Float32Array(47999)), finish(2),
    begin(big, 'de'), audio(new Float32Array(48000)), finish(big),
  ]);
  const lines = r.stdout.split('\n').filter(Boolean);
  assert.match(lines[2], /^\{"type":"result","requestId":1,"text":"","decodeMs":\d+,"audioMs":0\}$/);
  assert.match(lines[3], /^\{"type":"result","requestId":2,"text":"","decodeMs":\d+,"audioMs":2999\}$/);
  assert.match(lines[4], /^\{"type":"result","requestId":9007199254740991,"text":"","decodeMs":\d+,"audioMs":3000\}$/);
  const params = r.stderr.split('\n').filter((l) => l.startsWith('quillet-whisper: decode params'));
  assert.equal(params.length, 3);
  assert.match(params[0], /audio_ctx=768 language=en .* threads=2 samples=0 prompt_tokens=0$/);
  assert.match(params[1], /audio_ctx=768 language=auto .* samples=47999 prompt_tokens=[1-9]\d*$/);
  assert.match(params[2], /audio_ctx=0 language=de .* samples=48000 prompt_tokens=0$/);
});

test('ping, unload and shutdown around a loaded model', async () => {
  const r = await runEngine([load(multi), frame(Kind.Unload), begin(1), frame(Kind.Unload), frame(Kind.Ping), frame(Kind.Shutdown)]);
  const lines = r.stdout.split('\n').filter(Boolean);
  assert.match(lines[1], READY);
  assert.deepEqual(lines.slice(2).map((l) => l + '\n'), [UNLOADED, error('NOT_LOADED', 1), UNLOADED, PONG]);
  assert.equal(r.code, 0);
});
