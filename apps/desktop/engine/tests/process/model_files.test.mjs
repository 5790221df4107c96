// Hostile model files: the engine's walk refuses every file the speech
// library would crash or abort on (MODEL_INVALID, and the engine goes on
// serving), while every real model still loads. Files are made by the
// test-model generator, with its header and filter overrides or patched
// bytes.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import {
  DIMS, FILTERS_OFFSET, makeTensorRecord, makeTestModel,
} from '../../tools/make-test-model.mjs';
import {
  HELLO_CPU, Kind, LiveEngine, PONG, audio, error, frame, json, loadMsg, runEngine, tempDir,
} from './harness.mjs';

const repoRoot = resolve(dirname(fileURLToPath(import.meta.url)), '../../../../..');
const onPrefix = !!process.env.QUILLET_WHISPER_PREFIX;
const READY = /^\{"type":"ready","version":2,"device":"cpu","loadMs":\d+,"fallback":false\}$/;
const RESULT = /^\{"type":"result","requestId":1,"text":".*","decodeMs":\d+,"audioMs":1000\}$/;
// One thread: decodes of small models are cheap, and a busy machine makes
// spinning worker threads slow.
const load = (path) => json(Kind.Load, loadMsg(path, { threads: 1 }));
const tone = () => audio(new Float32Array(16000).map((_, i) => 0.3 * Math.sin(i / 7)));

// The upstream weightless tiny model's shape (whisper.cpp's for-tests files).
const tiny = (extra = {}) => makeTestModel({ variant: 'multilingual', dims: 'tiny', ...extra });
const mini = (extra = {}) => makeTestModel({ variant: 'multilingual', dims: 'mini', nMels: 8, ...extra });

// Where the vocabulary's count lies in a generated model with `rows` mel bands.
const vocabularyOffset = (rows) => FILTERS_OFFSET + 8 + rows * 201 * 4;

// A tensor record's head: dimensions, name length, type, extents.
function tensorHead(dims, nameLength, type, extents) {
  const b = Buffer.alloc(12 + 4 * extents.length);
  [dims, nameLength, type, ...extents].forEach((v, i) => b.writeInt32LE(v, 4 * i));
  return b;
}

function withBytes(bytes, patch) {
  const b = Buffer.from(bytes);
  patch(b);
  return b;
}

// Loads each file of a table in one engine, and expects MODEL_INVALID for
// the row's reason and then a pong after every one: a file that ended the
// engine fails its own row and every later one.
async function expectRefused(t, table) {
  const dir = tempDir(t);
  const frames = table.flatMap(([, bytes], i) => {
    const path = join(dir, `model-${i}.bin`);
    writeFileSync(path, bytes);
    return [load(path), frame(Kind.Ping)];
  });
  const r = await runEngine(frames, { timeoutMs: 120000 });
  const lines = r.stdout.split('\n').filter(Boolean).slice(1).map((l) => l + '\n');
  const reasons = [...r.stderr.matchAll(/^quillet-whisper: model file refused: (.*)$/gm)].map((m) => m[1]);
  table.forEach(([name, , reason], i) => {
    assert.deepEqual(lines.slice(2 * i, 2 * i + 2), [error('MODEL_INVALID'), PONG], name);
    assert.match(reasons[i], reason, name);
  });
  assert.equal(r.signal, null);
  assert.equal(r.code, 0);
}

test('the hostile files of the report: MODEL_INVALID, then the engine answers', async (t) => {
  const table = [
    ['mel filter rows 200 (header n_mels 80)', tiny({ filters: { rows: 200 } }), /mel filter rows differ/],
    ['mel filter rows 1024', tiny({ filters: { rows: 1024 } }), /mel filter rows differ/],
    ['mel filter width 65536 (the library expects 201)', tiny({ filters: { width: 65536 } }), /width is not 201/],
    ['header n_mels 1', tiny({ header: { nMels: 1 } }), /mel filter rows differ/],
    ['n_text_ctx 1', tiny({ header: { nTextCtx: 1 } }), /n_text_ctx outside/],
    ['n_vocab 1', tiny({ header: { nVocab: 1 } }), /n_vocab below/],
    ['n_vocab 100', tiny({ header: { nVocab: 100 } }), /n_vocab below/],
    ['ftype 99', tiny({ header: { ftype: 99 } }), /ftype/],
    ['ftype -1', tiny({ header: { ftype: -1 } }), /ftype/],
    ['audio state and heads 1/1', tiny({ header: { nAudioState: 1, nAudioHead: 1 } }), /differs/],
    ['text state and heads 6/6', tiny({ header: { nTextState: 6, nTextHead: 6 } }), /differs/],
    ['n_audio_layer 1024', tiny({ header: { nAudioLayer: 1024 } }), /n_audio_layer outside/],
  ];
  await expectRefused(t, table);
});

test('the rest of the header bounds', async (t) => {
  const table = [
    ['ftype 4 (Q4_1 with some F16, unmapped)', tiny({ header: { ftype: 4 } }), /ftype/],
    ['ftype 0 (all F32: F32 convolutions)', tiny({ header: { ftype: 0 } }), /ftype 0/],
    ['ftype 1028 (quantization version 1, type 28)', tiny({ header: { ftype: 1028 } }), /ftype/],
    ['n_vocab 51867 (101 languages)', tiny({ header: { nVocab: 51867 } }), /n_vocab above 51866/],
    ['n_vocab 50363 (English, ends at token_beg)', tiny({ header: { nVocab: 50363 } }), /n_vocab below 50364/],
    ['n_text_ctx 6 (the prompt overflows the batch)', tiny({ header: { nTextCtx: 6 } }), /n_text_ctx outside/],
    ['n_text_ctx 32769', tiny({ header: { nTextCtx: 32769 } }), /n_text_ctx outside/],
    ['n_audio_ctx 0', tiny({ header: { nAudioCtx: 0 } }), /n_audio_ctx outside/],
    ['n_audio_layer 65', mini({ header: { nAudioLayer: 65 } }), /n_audio_layer outside/],
    ['n_text_layer 49', mini({ header: { nTextLayer: 49 } }), /n_text_layer outside/],
    ['n_text_layer 0', mini({ header: { nTextLayer: 0 } }), /n_text_layer outside/],
    ['n_audio_head 0', tiny({ header: { nAudioHead: 0 } }), /n_audio_head does not divide/],
    ['n_text_head 5 of 384', tiny({ header: { nTextHead: 5 } }), /n_text_head does not divide/],
    ['negative state', tiny({ header: { nAudioState: -384, nTextState: -384 } }), /n_audio_state outside/],
    ['Q8_0 rows of 48', mini({ ftype: 7, header: { nAudioState: 48, nTextState: 48 } }), /blocks/],
    ['a weightless model asking for 2 GiB', tiny({ header: { nAudioState: 8192, nTextState: 8192, nAudioHead: 8,
      nTextHead: 8 } }), /memory/],
  ];
  await expectRefused(t, table);
});

test('filters, vocabulary and tensor records the library would trust', async (t) => {
  const weighted = mini({ weights: 'random', ftype: 7 });
  const record = (name, ne, type, fill = 'zero') => makeTensorRecord({ name, ne, type }, fill);
  const lnPost = record('encoder.ln_post.weight', [32], 0);
  const table = [
    ['no " " token', withBytes(mini(), (b) => { b[vocabularyOffset(8) + 4 + 32 * 5 + 4] = 0x58; }), /no " " token/],
    ['more stored tokens than n_vocab', mini({ variant: 'english', header: { nVocab: 50364 }, extraTokens: 50200 }),
      /more tokens than n_vocab/],
    ['a vocabulary count of 0', withBytes(mini(), (b) => b.writeInt32LE(0, vocabularyOffset(8))), /none/],
    ['a token longer than the file', withBytes(mini(), (b) => b.writeUInt32LE(0xffffffff, vocabularyOffset(8) + 4)),
      /ends inside the vocabulary/],
    ['13 bytes after the vocabulary', Buffer.concat([mini(), Buffer.alloc(13, 0x41)]), /tensor/],
    ['a tensor stored twice', Buffer.concat([weighted, lnPost]), /stored twice/],
    ['a tensor missing', mini({ weights: 'zero', omitTensors: ['decoder.blocks.0.attn.key.weight'] }), /missing/],
    ['a tensor of the wrong shape', Buffer.concat([mini(), record('encoder.ln_post.weight', [33], 0)]), /shape/],
    ['a tensor type of the wrong size', Buffer.concat([mini(), record('encoder.ln_post.weight', [32], 1)]), /type/],
    ['a layer name with a leading zero', Buffer.concat([mini(), record('encoder.blocks.00.mlp_ln.bias', [32], 0)]),
      /does not have/],
    ['a layer beyond the header', Buffer.concat([mini(), record('decoder.blocks.1.mlp_ln.bias', [32], 0)]),
      /does not have/],
    ['a tensor type ggml does not have', Buffer.concat([mini(), tensorHead(1, 22, 4, [32]),
      Buffer.from('encoder.ln_post.weight'), Buffer.alloc(128)]), /type ggml does not have/],
    ['a tensor with five dimensions', withBytes(Buffer.concat([mini(), lnPost]), (b) => b.writeInt32LE(5, mini().length)),
      /dimension count/],
    ['a tensor extent that overflows int32', Buffer.concat([mini(), tensorHead(2, 22, 0, [65536, 65536]),
      Buffer.from('encoder.ln_post.weight'), Buffer.alloc(64)]), /extent/],
  ];
  await expectRefused(t, table);
});

test('every cut of a model with weights is refused, and the engine stays up', async (t) => {
  const bytes = mini({ weights: 'random', ftype: 2 });
  const dir = tempDir(t);
  // Cuts in the header, the filters, the vocabulary and through the tensors.
  const cuts = new Set([0, 3, 4, 20, 47, 48, 52, 56, 100, 6000, 6488, 6492, 6500, 7000, 7924]);
  // (7925, the end of the vocabulary, would be a whole weightless model.)
  for (let i = 1; i < 40; i++) cuts.add(7925 + Math.floor(((bytes.length - 7925) * i) / 40));
  cuts.add(bytes.length - 1);
  const frames = [];
  for (const cut of cuts) {
    const path = join(dir, `cut-${cut}.bin`);
    writeFileSync(path, bytes.subarray(0, cut));
    frames.push(load(path));
  }
  const whole = join(dir, 'whole.bin');
  writeFileSync(whole, bytes);
  const r = await runEngine([...frames, load(whole), frame(Kind.Ping)], { timeoutMs: 120000 });
  const lines = r.stdout.split('\n').filter(Boolean).slice(1);
  assert.deepEqual(lines.slice(0, cuts.size).map((l) => l + '\n'), [...cuts].map(() => error('MODEL_INVALID')));
  assert.match(lines[cuts.size], READY);
  assert.equal(lines[cuts.size + 1] + '\n', PONG);
});

test('real models and the edges of every bound load and decode', async (t) => {
  const toy = join(repoRoot, 'apps/desktop/engine/tools/speech-model/toy-dictation-q8_0.bin');
  const table = [
    ['the committed toy model', readFileSync(toy)],
    ['generated multilingual, compact', makeTestModel({ variant: 'multilingual' })],
    ['generated English, compact', makeTestModel({ variant: 'english' })],
    ['generated multilingual, mini', mini()],
    ['generated English, mini, F16 zero weights', mini({ variant: 'english', weights: 'zero' })],
    ['generated, mini, F16 random weights', mini({ weights: 'random' })],
    ['generated, mini, Q4_0 random weights', mini({ ftype: 2, weights: 'random' })],
    ['generated, mini, Q8_0 random weights', mini({ ftype: 7, weights: 'random' })],
    ['128 mel bands (large-v3)', mini({ nMels: 128 })],
    ['n_vocab 51866 (large-v3)', mini({ header: { nVocab: 51866 } })],
    ['n_vocab 50364 (the smallest English one)', mini({ variant: 'english', header: { nVocab: 50364 } })],
    ['n_text_ctx 7', mini({ header: { nTextCtx: 7 } })],
    ['n_text_ctx 10 (the first with decoding steps), random weights',
      mini({ weights: 'random', dims: { ...DIMS.mini, nTextCtx: 10 } })],
    ['64 audio and 48 text layers', mini({ header: { nAudioLayer: 64, nTextLayer: 48 } })],
    ['ftype 2007 (quantization version 2, Q8_0)', mini({ header: { ftype: 2007 } })],
    ['heads of one element', mini({ header: { nAudioHead: 32, nTextHead: 32 } })],
    ['12 trailing bytes', Buffer.concat([mini(), Buffer.alloc(12)])],
  ];
  const dir = tempDir(t);
  const frames = table.flatMap(([, bytes], i) => {
    const path = join(dir, `model-${i}.bin`);
    writeFileSync(path, bytes);
    return [
      load(path), json(Kind.Begin, { requestId: 1, language: 'en', prompt: 'hello world' }), tone(),
      json(Kind.Finish, { requestId: 1 }), frame(Kind.Ping),
    ];
  });
  const r = await runEngine(frames, { timeoutMs: 240000 });
  const lines = r.stdout.split('\n').filter(Boolean).slice(1);
  table.forEach(([name], i) => {
    const [ready, result, pong] = lines.slice(3 * i, 3 * i + 3);
    assert.match(ready ?? '', READY, `${name}: ${r.stderr.slice(-400)}`);
    assert.match(result ?? '', RESULT, name);
    assert.equal(pong + '\n', PONG, name);
  });
  assert.equal(r.code, 0);
});

test('a FIFO as the model path is refused at once, and the engine still reads its input', {
  skip: process.platform === 'win32' || onPrefix ? 'no FIFOs here' : false,
}, async (t) => {
  const fifo = join(tempDir(t), 'model.fifo');
  execFileSync('mkfifo', [fifo]);
  const r = await runEngine([load(fifo), frame(Kind.Ping), frame(Kind.Shutdown)], { timeoutMs: 20000 });
  assert.equal(r.signal, null);
  assert.equal(r.stdout, HELLO_CPU + error('MODEL_MISSING') + PONG);
});

// Descriptors of the engine process, by number.
const openDescriptors = (pid) => readdirSync(`/proc/${pid}/fd`).length;
const shim = process.env.QUILLET_TEST_FAIL_ALLOC;
const noShim = !shim || !existsSync(shim) || onPrefix || !existsSync('/proc/self/fd') ? 'needs the allocation shim and /proc' : false;

test('the model file is closed on every way out of the walk', { skip: noShim }, async (t) => {
  const dir = tempDir(t);
  const good = join(dir, 'good.bin');
  const bad = join(dir, 'bad.bin');
  writeFileSync(good, mini());
  writeFileSync(bad, tiny({ header: { nVocab: 1 } }));
  // modelWalkBufferBytes: the walk's read buffer is the one allocation of
  // exactly 65,536 bytes in a load, so every walk fails for want of it.
  const starved = { LD_PRELOAD: shim, QUILLET_TEST_FAIL_ALLOC_SIZE: String(1 << 16) };
  const table = [
    ['refused by the walk', {}, bad, error('MODEL_INVALID')],
    ['missing', {}, join(dir, 'missing.bin'), error('MODEL_MISSING')],
    ['accepted and loaded', {}, good, READY],
    ['no memory for the walk', starved, good, error('OUT_OF_MEMORY')],
  ];
  for (const [name, env, path, answer] of table) {
    const engine = new LiveEngine({ env });
    t.after(() => engine.close());
    assert.equal(await engine.next() + '\n', HELLO_CPU, name);
    engine.send(frame(Kind.Ping));
    assert.equal(await engine.next() + '\n', PONG, name);
    const before = openDescriptors(engine.child.pid);
    for (let i = 0; i < 5; i++) {
      engine.send(load(path));
      const line = await engine.next();
      if (answer instanceof RegExp) assert.match(line, answer, name);
      else assert.equal(line + '\n', answer, name);
    }
    engine.send(frame(Kind.Ping));
    assert.equal(await engine.next() + '\n', PONG, name);
    assert.equal(openDescriptors(engine.child.pid), before, name);
    assert.equal(await engine.close(), 0, name);
  }
});

test('started without standard input or error, the reply stream is still only replies', {
  skip: process.platform === 'win32' || onPrefix ? 'POSIX descriptors only' : false,
}, async () => {
  const { spawn } = await import('node:child_process');
  const { engineBin } = await import('./harness.mjs');
  const table = [
    ['standard error closed', '2>&-', [frame(Kind.Ping), frame(Kind.Shutdown)], HELLO_CPU + PONG],
    ['standard input closed', '0<&-', [], HELLO_CPU],
    ['both closed', '0<&- 2>&-', [], HELLO_CPU],
  ];
  for (const [name, redirect, input, expected] of table) {
    const r = await new Promise((resolve) => {
      const child = spawn('/bin/sh', ['-c', `exec "$0" ${redirect}`, engineBin], { stdio: ['pipe', 'pipe', 'pipe'] });
      const out = [];
      child.stdout.on('data', (d) => out.push(d));
      child.stderr.resume();
      child.stdin.on('error', () => {});
      child.stdin.end(Buffer.concat(input));
      child.on('close', (code, signal) => resolve({ code, signal, stdout: Buffer.concat(out).toString() }));
    });
    assert.equal(r.signal, null, name);
    assert.equal(r.code, 0, name);
    assert.equal(r.stdout, expected, name);
  }
});
