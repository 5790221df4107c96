// Streaming dictations, sample formats, argument checks and aborts, against
// tests/fake-engine.mjs; one path through the real engine when
// QUILLET_WHISPER_BIN names it.

import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { startEngine } from '../engine-client.mjs';
import { parseWav } from '../wav.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const fakeEngine = path.join(here, 'fake-engine.mjs');

let dir;
let model;
before(() => {
  dir = mkdtempSync(path.join(os.tmpdir(), 'engine-dictation-test-'));
  model = path.join(dir, 'model.bin');
  writeFileSync(model, 'fake model');
});
after(() => rmSync(dir, { recursive: true, force: true }));

// The fake engine, loaded; `frames` gets [kind, bytes] of every frame it
// reads except pings, and `reported(kind)` waits for a frame of that kind.
// Reports come on stderr and may trail the replies: `settle()` waits until
// every frame sent so far is reported; `clear()` then empties `frames`.
async function startFake(fakeEnv = {}) {
  const frames = [];
  const waiters = [];
  const engine = await startEngine({
    enginePath: process.execPath,
    extraArgs: [fakeEngine],
    env: { ...process.env, ...fakeEnv },
    stderr: (line) => {
      const m = /^frame kind=(\d+) bytes=(\d+)$/.exec(line);
      if (!m || m[1] === '7') return;
      frames.push([Number(m[1]), Number(m[2])]);
      for (const w of waiters.filter((x) => x.kind === Number(m[1]))) w.resolve();
    },
  });
  engine.frames = frames;
  engine.reported = (kind) => new Promise((resolve) => {
    if (frames.some(([k]) => k === kind)) resolve();
    else waiters.push({ kind, resolve });
  });
  // A Cancel of an id no test uses marks the point: once its report is in,
  // every earlier frame's is too.
  const marker = Number.MAX_SAFE_INTEGER;
  const markerBytes = Buffer.byteLength(JSON.stringify({ requestId: marker }));
  const isMarker = ([k, n]) => k === 5 && n === markerBytes;
  engine.settle = async () => {
    await engine.cancel(marker);
    while (!frames.some(isMarker)) await new Promise((r) => setTimeout(r, 2));
    frames.splice(frames.findIndex(isMarker), 1);
  };
  engine.clear = async () => {
    await engine.settle();
    frames.length = 0;
  };
  await engine.load({ modelPath: model });
  await engine.clear();
  return engine;
}

describe('streaming dictation', () => {
  let engine;
  before(async () => {
    engine = await startFake();
  });
  after(() => engine.close());

  test('audio written as it arrives is chunked to the frame limit and finished', async () => {
    await engine.clear();
    const d = await engine.begin({ language: 'en' });
    assert.ok(Number.isSafeInteger(d.requestId), 'a default id is returned');
    await d.write(new Float32Array(100).fill(0.25));
    const big = new Float32Array(600000).fill(-0.5);
    const written = d.write(big);
    big.fill(0.75); // the caller's buffer is reused at once: what was written stays
    await written;
    const r = await d.finish();
    assert.equal(r.requestId, d.requestId);
    assert.equal(r.text, 'samples=600100 first=0.25 last=-0.5');
    await engine.settle();
    assert.deepEqual(engine.frames.slice(1).map(([k, n]) => [k, k === 3 ? n : 0]),
      [[3, 400], [3, 1920000], [3, 480000], [4, 0]]);
    await assert.rejects(d.write(new Float32Array(1)), { code: 'ERR_INVALID_STATE' });
  });

  test('an Int16Array is 16-bit PCM scaled by 1/32768', async () => {
    const r = await engine.transcribe({ samples: new Int16Array([16384, 100, -32768]) });
    assert.equal(r.text, 'samples=3 first=0.5 last=-1');
    const d = await engine.begin();
    await d.write(Int16Array.of(-16384));
    assert.equal((await d.finish()).text, 'samples=1 first=-0.5 last=-0.5');
  });

  test('begin rejects at once with the engine code; no audio is needed to see it', async () => {
    await engine.clear();
    await assert.rejects(engine.begin({ requestId: 7, language: 'xx' }),
      { name: 'EngineError', code: 'LANGUAGE_UNSUPPORTED', requestId: 7 });
    await engine.settle();
    assert.deepEqual(engine.frames.map(([k]) => k), [2]);
    // Nothing is left behind: the id is free and the engine holds no request.
    const d = await engine.begin({ requestId: 7, language: 'de' });
    assert.equal((await d.finish()).requestId, 7);
  });

  test('a second begin waits for the first dictation to be finished or cancelled', async () => {
    const first = await engine.begin({ requestId: 1 });
    let secondOpen = false;
    const second = engine.begin({ requestId: 2 }).then((d) => {
      secondOpen = true;
      return d;
    });
    await first.write(new Float32Array(4));
    await engine.ping();
    assert.equal(secondOpen, false, 'the engine would answer BUSY');
    await first.cancel();
    await assert.rejects(first.finish(), { code: 'CANCELLED', requestId: 1 });
    assert.equal((await (await second).finish()).text, 'samples=0 first=none last=none');
  });
});

describe('arguments are checked before anything is sent', () => {
  const load = (over) => (engine) => engine.load({ modelPath: model, threads: 2, ...over });
  const begin = (over) => (engine) => engine.begin(over);
  const cases = [
    ['threads', load({ threads: 0 })],
    ['threads', load({ threads: 9 })],
    ['threads', load({ threads: 1.5 })],
    ['shortAudioCtx', load({ shortAudioCtx: 1501 })],
    ['shortWindowSamples', load({ shortWindowSamples: -1 })],
    ['device', load({ device: 'gpu' })],
    ['modelPath', load({ modelPath: 'x'.repeat(4097) })],
    ['modelPath', load({ modelPath: '\u0001'.repeat(2000) })], // fits in units, not once escaped
    ['language', begin({ language: 'EN' })],
    ['language', begin({ language: 'e' })],
    ['language', begin({ language: 'en-us' })],
    ['prompt', begin({ prompt: 'p'.repeat(2049) })],
    ['prompt', begin({ prompt: '\u0001'.repeat(2048) })],
    ['requestId', begin({ requestId: -1 })],
    ['requestId', begin({ requestId: 2 ** 53 })],
  ];

  test('each out-of-range field is a RangeError naming it', async () => {
    const engine = await startFake();
    try {
      for (const [field, call] of cases) {
        await assert.rejects(call(engine), (e) => e instanceof RangeError && e.code === 'ERR_OUT_OF_RANGE' &&
          e.message.startsWith(`${field} `), field);
      }
      // The limits themselves are accepted.
      await engine.load({ modelPath: model, threads: 8, shortAudioCtx: 1500 });
      const d = await engine.begin({ language: 'auto', prompt: 'p'.repeat(2048) });
      await d.cancel();
      await engine.settle();
      assert.deepEqual(engine.frames.map(([k]) => k), [1, 2, 5]);
    } finally {
      await engine.close();
    }
  });

  test('samples that are neither Float32Array nor Int16Array are a TypeError', async () => {
    const engine = await startFake();
    try {
      const d = await engine.begin();
      for (const samples of [[0.5], new Float64Array(1), Buffer.alloc(4), new Uint8Array(4), 'abc', undefined]) {
        await assert.rejects(d.write(samples), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
        await assert.rejects(engine.transcribe({ samples }), TypeError);
      }
      await assert.rejects(d.write(Buffer.alloc(4)), /new Int16Array\(buf.buffer/);
      await d.cancel();
    } finally {
      await engine.close();
    }
  });

  test('load failures about the file name it', async () => {
    const engine = await startFake();
    try {
      const missing = path.join(dir, 'no-such-model.bin');
      await assert.rejects(engine.load({ modelPath: missing }), (e) =>
        e.code === 'MODEL_MISSING' && e.path === missing && e.message.includes(missing));
    } finally {
      await engine.close();
    }
  });
});

describe('abort and timeout', () => {
  test('an aborted begin sends nothing; an abort before Finish is written sends Cancel', async () => {
    const engine = await startFake();
    try {
      const reason = new Error('user let go of the key');
      await assert.rejects(engine.begin({ signal: AbortSignal.abort(reason) }), (e) => e === reason);
      const controller = new AbortController();
      const d = await engine.begin({ requestId: 3 });
      d.write(new Float32Array(8 * 480000)).catch(() => {});
      const finished = d.finish({ signal: controller.signal });
      controller.abort();
      await assert.rejects(finished, { name: 'AbortError' });
      await engine.settle();
      const kinds = engine.frames.map(([k]) => k);
      assert.equal(kinds[0], 2);
      assert.equal(kinds.at(-1), 5, `frames: ${kinds}`);
      assert.ok(!kinds.includes(4));
    } finally {
      await engine.close();
    }
  });

  test('an abort once Finish is written stops the waiting, not the decode', async () => {
    // Long enough that the abort lands mid-decode even on a stalled machine.
    const engine = await startFake({ FAKE_DECODE_MS: '4000' });
    try {
      const late = [];
      engine.on('line', (line) => line.type === 'result' && late.push(line.requestId));
      const controller = new AbortController();
      const d = await engine.begin({ requestId: 40 });
      await d.write(new Float32Array(10));
      const finished = d.finish({ signal: controller.signal });
      await engine.reported(4);
      controller.abort();
      await assert.rejects(finished, { name: 'AbortError' });
      assert.deepEqual(late, [], 'rejected while the engine was still decoding');
      // The decode ran to its end; its answer was read and dropped, and the
      // next dictation is answered with its own result.
      const next = await engine.transcribe({ requestId: 41, samples: new Float32Array(2) });
      assert.equal(next.requestId, 41);
      assert.deepEqual(late, [40, 41]);
      await engine.settle();
      assert.ok(!engine.frames.some(([k]) => k === 5), 'no Cancel: it could not stop anything');
    } finally {
      await engine.close();
    }
  });

  test('an abort of a transcribe with a default id stops it', async () => {
    const engine = await startFake();
    try {
      const controller = new AbortController();
      const t = engine.transcribe({ samples: new Float32Array(4 * 480000), signal: controller.signal });
      controller.abort();
      await assert.rejects(t, { name: 'AbortError' });
      assert.equal((await engine.transcribe({ samples: new Float32Array(1) })).text, 'samples=1 first=0 last=0');
    } finally {
      await engine.close();
    }
  });

  test('a load not answered in time stops the engine with TIMEOUT', async () => {
    const engine = await startEngine({
      enginePath: process.execPath, extraArgs: [fakeEngine], env: { ...process.env, FAKE_LOAD_MS: '20000' },
    });
    await assert.rejects(engine.load({ modelPath: model, timeoutMs: 300 }),
      (e) => e.code === 'TIMEOUT' && e.message.includes(model));
    assert.equal(engine.alive, false);
    await assert.rejects(engine.ping(), { code: 'TIMEOUT' });
    assert.equal((await engine.exited).signal, 'SIGKILL');
  });
});

const enginePath = process.env.QUILLET_WHISPER_BIN;
describe('streaming through the real engine', { skip: !enginePath && 'QUILLET_WHISPER_BIN is not set' }, () => {
  test('16-bit samples streamed in 100 ms pieces decode as the float recording does', async () => {
    const { MODEL_PATH, LOAD_OPTIONS } = await import('../../tools/speech-model/model.mjs');
    const { FIXTURES } = await import('../../tools/speech-model/bench.mjs');
    const manifest = JSON.parse(readFileSync(path.join(FIXTURES, 'manifest.json'), 'utf8'));
    const words = manifest.find((f) => f.file === 'numbers.wav').words.join(' ');
    const wav = readFileSync(path.join(FIXTURES, 'numbers.wav'));
    const { samples } = parseWav(wav, 'numbers.wav');
    const pcm = Int16Array.from(samples, (x) => Math.max(-32768, Math.min(32767, Math.round(x * 32768))));
    const engine = await startEngine({ enginePath });
    try {
      await engine.load({ modelPath: MODEL_PATH, threads: 2, ...LOAD_OPTIONS });
      await assert.rejects(engine.begin({ language: 'zz' }), { code: 'LANGUAGE_UNSUPPORTED' });
      const d = await engine.begin({ language: 'en' });
      for (let i = 0; i < pcm.length; i += 1600) await d.write(pcm.subarray(i, i + 1600));
      assert.equal((await d.finish()).text, words);
    } finally {
      await engine.close();
    }
  });
});
