// Hostile model files: the engine's walk refuses every file the speech
// library would crash or abort on (MODEL_INVALID, and the engine goes on
// serving), while every real model still loads. Files are made by the
// test-model generator, with its header and filter overrides or patched
// bytes.
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { DIMS, FILTERS_OFFSET, makeTensorRecord, makeTestModel } from '../../tools/make-test-model.mjs';
import {
  Kind, PONG, READY, audio, begin, error, failAlloc, finish, frame, liveEngine, load, noShim, openFds, replyLines,
  runEngine, tempDir,
} from './harness.mjs';

const RESULT = /^\{"type":"result","requestId":1,"text":".*","decodeMs":\d+,"audioMs":1000\}$/;

// The upstream weightless tiny model's shape (whisper.cpp's for-tests files).
const tiny = (extra = {}) => makeTestModel({ variant: 'multilingual', dims: 'tiny', ...extra });
const mini = (extra = {}) => makeTestModel({ variant: 'multilingual', dims: 'mini', nMels: 8, ...extra });

// Where the vocabulary's count lies in a generated model with `rows` mel bands.
const vocabularyOffset = (rows) => FILTERS_OFFSET + 8 + rows * 201 * 4;

// A tensor record's head: dimensions, name length, type, extents.
const tensorHead = (...fields) => Buffer.from(Int32Array.from(fields).buffer);
const withBytes = (bytes, patch) => { const b = Buffer.from(bytes); patch(b); return b; };

// Writes each model of a table to a file of its own and loads them in turn:
// one engine, `after` frames behind every load.
function loadAll(t, table, after) {
  const dir = tempDir(t);
  return table.flatMap(([, bytes], i) => {
    const path = join(dir, `model-${i}.bin`);
    writeFileSync(path, bytes);
    return [load(path), ...after];
  });
}

// The header's own bounds are the unit tests' (model_check_test.cpp): here,
// one of each kind of fault as the whole walk meets it, and every cut of a
// model with weights (whole, it loads in the edges test). A file that ended
// the engine fails its own row and every later one.
test('hostile files, every cut of a weighted model: MODEL_INVALID for the reason, then the engine answers', async (t) => {
  const weighted = mini({ weights: 'random', ftype: 7 });
  const quantized = mini({ weights: 'random', ftype: 2 });
  // Cuts in the header, the filters, the vocabulary and through the tensors
  // (7925, the end of the vocabulary, would be a whole weightless model).
  const cuts = new Set([0, 3, 4, 20, 47, 48, 52, 56, 100, 6000, 6488, 6492, 6500, 7000, 7924, quantized.length - 1]);
  for (let i = 1; i < 40; i++) cuts.add(7925 + Math.floor(((quantized.length - 7925) * i) / 40));
  const record = (name, ne, type) => makeTensorRecord({ name, ne, type });
  const lnPost = record('encoder.ln_post.weight', [32], 0);
  const table = [
    ['mel filter rows 200 (header n_mels 80)', tiny({ filters: { rows: 200 } }), /mel filter rows differ/],
    ['mel filter width 65536 (the library expects 201)', tiny({ filters: { width: 65536 } }), /width is not 201/],
    ['header n_mels 1', tiny({ header: { nMels: 1 } }), /mel filter rows differ/],
    ['n_vocab 1', tiny({ header: { nVocab: 1 } }), /n_vocab below/],
    ['a weightless model asking for 2 GiB',
      tiny({ header: { nAudioState: 8192, nTextState: 8192, nAudioHead: 8, nTextHead: 8 } }), /memory/],
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
    ['a tensor type ggml does not have', Buffer.concat([mini(), tensorHead(1, 22, 4, 32),
      Buffer.from('encoder.ln_post.weight'), Buffer.alloc(128)]), /type ggml does not have/],
    ['a tensor with five dimensions', withBytes(Buffer.concat([mini(), lnPost]), (b) => b.writeInt32LE(5, mini().length)),
      /dimension count/],
    ['a tensor extent that overflows int32', Buffer.concat([mini(), tensorHead(2, 22, 0, 65536, 65536),
      Buffer.from('encoder.ln_post.weight'), Buffer.alloc(64)]), /extent/],
    ...[...cuts].map((cut) => [`cut at ${cut}`, quantized.subarray(0, cut), /./]),
  ];
  const r = await runEngine(loadAll(t, table, [frame(Kind.Ping)]));
  const lines = replyLines(r).map((l) => l + '\n');
  const reasons = [...r.stderr.matchAll(/^quillet-whisper: model file refused: (.*)$/gm)].map((m) => m[1]);
  table.forEach(([name, , reason], i) => {
    assert.deepEqual(lines.slice(2 * i, 2 * i + 2), [error('MODEL_INVALID'), PONG], name);
    assert.match(reasons[i], reason, name);
  });
  assert.deepEqual([r.code, r.signal], [0, null]);
});

// The committed toy model loads and decodes in speech_model.test.
test('models at the edges of the bounds load and decode', async (t) => {
  const table = [
    ['generated English, mini, F16 zero weights', mini({ variant: 'english', weights: 'zero' })],
    ['generated, mini, F16 random weights', mini({ weights: 'random' })],
    ['generated, mini, Q4_0 random weights (the cut model, whole)', mini({ ftype: 2, weights: 'random' })],
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
  const tone = audio(new Float32Array(16000).map((_, i) => 0.3 * Math.sin(i / 7)));
  const dictation = [begin(1, 'en', 'hello world'), tone, finish(1), frame(Kind.Ping)];
  const r = await runEngine(loadAll(t, table, dictation));
  const lines = replyLines(r);
  table.forEach(([name], i) => {
    const [ready, result, pong] = lines.slice(3 * i, 3 * i + 3);
    assert.match(ready ?? '', READY, `${name}: ${r.stderr.slice(-400)}`);
    assert.match(result ?? '', RESULT, name);
    assert.equal(pong + '\n', PONG, name);
  });
  assert.equal(r.code, 0);
});

// modelWalkBufferBytes: the walk's read buffer is the one allocation of
// exactly 65,536 bytes in a load, so every walk fails for want of it. (The
// other ways out of the walk: dictation.test's failed loads.)
test('a walk without memory is OUT_OF_MEMORY and closes the model file', { skip: noShim }, async (t) => {
  const path = join(tempDir(t), 'good.bin');
  writeFileSync(path, mini());
  const engine = await liveEngine(t, { env: failAlloc(1 << 16) });
  assert.equal(await engine.ask(frame(Kind.Ping)) + '\n', PONG);
  const before = openFds(engine.child.pid);
  for (let i = 0; i < 5; i++) assert.equal(await engine.ask(load(path)) + '\n', error('OUT_OF_MEMORY'));
  assert.equal(await engine.ask(frame(Kind.Ping)) + '\n', PONG);
  assert.equal(openFds(engine.child.pid), before);
  assert.equal(await engine.close(), 0);
});
