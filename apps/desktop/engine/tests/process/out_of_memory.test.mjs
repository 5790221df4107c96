// Allocation failures inside a dictation, made with a preloaded allocator that
// refuses one exact size (Linux without sanitizers; loads: dictation.test).
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { audio, begin, finish, load, outcomes, procVisible, runEngine, tempDir } from './harness.mjs';

const shim = process.env.QUILLET_TEST_FAIL_ALLOC;
const skip = !shim || !existsSync(shim) || !procVisible ? 'no allocation shim in this build' : false;

test('running out of memory in a dictation ends the request and the engine goes on', { skip }, async (t) => {
  const model = join(tempDir(t), 'model.bin');
  writeTestModel(model, { variant: 'multilingual' });
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
    const r = await runEngine([load(model), ...frames],
      { env: { LD_PRELOAD: shim, QUILLET_TEST_FAIL_ALLOC_SIZE: String(bytes) } });
    assert.deepEqual(outcomes(r), [['ready', undefined], ...want], String(bytes));
    assert.equal(r.code, 0);
  }
});
