// Allocation failures inside the engine, made with a preloaded allocator that
// refuses one exact size (Linux builds without sanitizers only).
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { Kind, audio, frame, json, loadMsg, replies, runEngine, tempDir } from './harness.mjs';

const shim = process.env.QUILLET_TEST_FAIL_ALLOC;
const skip = !shim || !existsSync(shim) || process.env.QUILLET_WHISPER_PREFIX ? 'no allocation shim in this build' : false;
const failing = (bytes) => ({ LD_PRELOAD: shim, QUILLET_TEST_FAIL_ALLOC_SIZE: String(bytes) });

function model(t) {
  const path = join(tempDir(t), 'model.bin');
  writeTestModel(path, { variant: 'multilingual' });
  return path;
}

test('audio storage that cannot grow drops the request with its id', { skip }, async (t) => {
  // 12,345 samples: the first growth of the sample store asks for 49,380 bytes.
  const r = await runEngine([
    json(Kind.Load, loadMsg(model(t))),
    json(Kind.Begin, { requestId: 31, language: 'en', prompt: '' }),
    audio(new Float32Array(12345)),
    audio(new Float32Array(10)),
    json(Kind.Finish, { requestId: 31 }),
    frame(Kind.Ping),
  ], { env: failing(12345 * 4) });
  const lines = replies(r);
  assert.equal(lines[0].type, 'ready');
  assert.deepEqual(lines.slice(1), [
    { type: 'error', code: 'OUT_OF_MEMORY', requestId: 31 },
    { type: 'error', code: 'NO_REQUEST' },
    { type: 'error', code: 'NO_REQUEST', requestId: 31 },
    { type: 'pong' },
  ]);
});

test('running out of memory inside a decode is reported by the frame loop, and the engine goes on', { skip }, async (t) => {
  // Padding an empty request to 16,800 samples asks for 67,200 bytes.
  const r = await runEngine([
    json(Kind.Load, loadMsg(model(t))),
    json(Kind.Begin, { requestId: 8, language: 'en', prompt: '' }),
    json(Kind.Finish, { requestId: 8 }),
    json(Kind.Finish, { requestId: 8 }),
    json(Kind.Begin, { requestId: 9, language: 'en', prompt: '' }),
    audio(new Float32Array(16801)),
    json(Kind.Finish, { requestId: 9 }),
  ], { env: failing(16800 * 4) });
  const lines = replies(r);
  assert.equal(lines[0].type, 'ready');
  assert.deepEqual(lines[1], { type: 'error', code: 'OUT_OF_MEMORY' });
  assert.deepEqual(lines[2], { type: 'error', code: 'NO_REQUEST', requestId: 8 });
  assert.equal(lines[3].type, 'result');
  assert.equal(lines[3].requestId, 9);
  assert.equal(r.code, 0);
});
