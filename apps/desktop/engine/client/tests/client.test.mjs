// The client against tests/fake-engine.mjs, a small script that speaks the
// engine's protocol and can misbehave on request.

import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { EngineClient, defaultThreads, startEngine } from '../engine-client.mjs';

const fakeEngine = path.join(path.dirname(fileURLToPath(import.meta.url)), 'fake-engine.mjs');

let dir;
let model;
before(() => {
  dir = mkdtempSync(path.join(os.tmpdir(), 'engine-client-test-'));
  model = path.join(dir, 'model.bin');
  writeFileSync(model, 'fake model');
});
after(() => rmSync(dir, { recursive: true, force: true }));

// Starts the fake engine; `frames` collects the [kind, bytes] it reports.
async function startFake(fakeEnv = {}, { onFrame, ...client } = {}) {
  const frames = [];
  const engine = await startEngine({
    enginePath: process.execPath,
    extraArgs: [fakeEngine],
    env: { ...process.env, ...fakeEnv },
    stderr: (line) => {
      const m = /^frame kind=(\d+) bytes=(\d+)$/.exec(line);
      if (m) frames.push([Number(m[1]), Number(m[2])]);
      if (m) onFrame?.(Number(m[1]));
    },
    ...client,
  });
  engine.frames = frames;
  return engine;
}

// Frames other than pings received while `fn` ran, and its outcome. Reports
// come on stderr and can trail replies: once an answered ping's report is in,
// every earlier one is in too.
async function framesDuring(engine, fn) {
  const settled = async () => {
    const pings = engine.frames.filter(([k]) => k === 7).length;
    await engine.ping();
    while (engine.frames.filter(([k]) => k === 7).length <= pings) await new Promise((r) => setTimeout(r, 2));
  };
  await settled();
  engine.frames.length = 0;
  const value = await fn().catch((err) => err);
  await settled();
  return { frames: engine.frames.splice(0).filter(([k]) => k !== 7), value };
}

describe('requests and replies', () => {
  let engine;
  before(async () => {
    engine = await startFake();
  });
  after(() => engine.close());

  test('each call resolves with its own reply, errors reject with .code and .requestId', async () => {
    assert.deepEqual(engine.hello, { type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });
    assert.deepEqual(await engine.ping(), { type: 'pong' });
    assert.deepEqual(await engine.unload(), { type: 'unloaded' });
    await assert.rejects(engine.load({ modelPath: path.join(dir, 'missing.bin') }), (e) => e.code === 'MODEL_MISSING' && !('requestId' in e));
    await assert.rejects(engine.transcribe({ requestId: 41, samples: new Float32Array(10) }), { code: 'NOT_LOADED', requestId: 41 });
    await assert.rejects(engine.load({ modelPath: model, device: 'cuda' }), { code: 'GPU_UNAVAILABLE' });
    assert.deepEqual(await engine.load({ modelPath: model, threads: 2 }), { type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false });
    await assert.rejects(engine.transcribe({ requestId: 42, language: 'xx', samples: new Float32Array(10) }), { code: 'LANGUAGE_UNSUPPORTED', requestId: 42 });
    // A Begin the engine would answer with a bare BAD_FRAME is refused before sending.
    await assert.rejects(engine.transcribe({ requestId: 43, language: 'EN', samples: new Float32Array(10) }), { name: 'RangeError', message: /^language / });
    const r = await engine.transcribe({ requestId: 9007199254740991, language: 'de', samples: new Float32Array([0.5, -0.25]) });
    assert.deepEqual(r, { type: 'result', requestId: 9007199254740991, text: 'samples=2 first=0.5 last=-0.25', decodeMs: 2, audioMs: 0 });
  });

  test('long audio goes out as Begin, 480,000-sample frames, Finish; an empty one as Begin and Finish', async () => {
    const samples = Float32Array.from({ length: 1000000 }, (_, i) => i / 1000000);
    const long = await framesDuring(engine, () => engine.transcribe({ requestId: 7, language: 'en', prompt: '', samples }));
    assert.equal(long.value.text, `samples=1000000 first=0 last=${Math.fround(999999 / 1000000)}`);
    const begin = Buffer.byteLength(JSON.stringify({ requestId: 7, language: 'en', prompt: '' }));
    assert.deepEqual(long.frames, [[2, begin], [3, 1920000], [3, 1920000], [3, 160000], [4, 15]]);
    const empty = await framesDuring(engine, () => engine.transcribe({ requestId: 8, samples: new Float32Array(0) }));
    assert.deepEqual(empty.frames.map(([k]) => k), [2, 4]);
    await assert.rejects(engine.transcribe({ samples: [0.5, 0.125] }), TypeError);
    await assert.rejects(engine.transcribe({ samples: new Float64Array([0.1, -2]) }), TypeError);
  });

  test('overlapping transcribes are queued, not interleaved', async () => {
    const results = await Promise.all([1, 2, 3].map((k) =>
      engine.transcribe({ requestId: 100 + k, samples: new Float32Array(500000).fill(k / 4) })));
    assert.deepEqual(results.map((r) => [r.requestId, r.text]), [
      [101, 'samples=500000 first=0.25 last=0.25'],
      [102, 'samples=500000 first=0.5 last=0.5'],
      [103, 'samples=500000 first=0.75 last=0.75'],
    ]);
  });

  test('more than 10 minutes fails with AUDIO_TOO_LONG and frees the engine', async () => {
    const { frames, value } = await framesDuring(engine, () => engine.transcribe({ requestId: 12, samples: new Float32Array(9600001) }));
    assert.deepEqual([value.code, value.requestId], ['AUDIO_TOO_LONG', 12]);
    assert.equal(frames.filter(([k]) => k === 3).length, 21);
    assert.equal((await engine.transcribe({ requestId: 13, samples: new Float32Array(3) })).requestId, 13);
  });

  test('bad arguments and a request id still in progress are refused before sending', async () => {
    const first = engine.transcribe({ requestId: 20, samples: new Float32Array(3) });
    await assert.rejects(engine.transcribe({ requestId: 20, samples: new Float32Array(3) }), RangeError);
    await first;
    for (const bad of [{ requestId: -1, samples: new Float32Array(1) }, { requestId: 1.5, samples: new Float32Array(1) }]) await assert.rejects(engine.transcribe(bad), RangeError);
    for (const bad of [{}, { samples: 'abc' }]) await assert.rejects(engine.transcribe(bad), TypeError);
    assert.throws(() => new EngineClient({}), TypeError);
  });

  test('cancel: before anything is sent nothing goes out; an unknown id just sends Cancel', async () => {
    const { frames } = await framesDuring(engine, async () => {
      const t = engine.transcribe({ requestId: 5, samples: new Float32Array(3) });
      await engine.cancel(5);
      await assert.rejects(t, { code: 'CANCELLED' });
      await engine.cancel(77);
    });
    assert.deepEqual(frames, [[5, Buffer.byteLength('{"requestId":77}')]]);
  });
});

test('cancel while audio is being sent stops the audio and sends Cancel', async () => {
  let cancelled;
  const engine = await startFake({}, { onFrame: (k) => { if (k === 3 && !cancelled) cancelled = engine.cancel(30); } });
  try {
    await engine.load({ modelPath: model });
    const { frames } = await framesDuring(engine, async () => {
      await assert.rejects(engine.transcribe({ requestId: 30, samples: new Float32Array(20 * 480000) }), { code: 'CANCELLED', requestId: 30 });
      await cancelled;
    });
    const kinds = frames.map(([k]) => k).join('');
    assert.match(kinds, /^23{1,19}5$/, 'Begin, part of the audio, Cancel; no Finish');
    // The engine holds no request any more: a new one is not BUSY.
    assert.equal((await engine.transcribe({ requestId: 31, samples: new Float32Array(3) })).requestId, 31);
  } finally {
    await engine.close();
  }
});

describe('engine failures', () => {
  test('the engine dying rejects what is pending and every later call', async () => {
    for (const dieOn of ['4', '3']) {
      const engine = await startFake({ FAKE_DIE_ON: dieOn });
      await engine.load({ modelPath: model });
      const answeredBefore = engine.ping();
      const transcribe = engine.transcribe({ requestId: 3, samples: new Float32Array(dieOn === '3' ? 10 * 480000 : 100) });
      const queuedBehind = engine.ping();
      await assert.rejects(transcribe, (e) => e.code === 'ENGINE_EXITED' && /code 3/.test(e.message) && /simulated crash/.test(e.message));
      assert.deepEqual(await answeredBefore, { type: 'pong' });
      await assert.rejects(queuedBehind, { code: 'ENGINE_EXITED' });
      await assert.rejects(engine.load({ modelPath: model }), { code: 'ENGINE_EXITED' });
      assert.equal(engine.alive, false);
      assert.deepEqual(await engine.close(), { code: 3, signal: null });
    }
  });

  test('a line that answers nothing, or a missing answer, stops the engine with PROTOCOL_ERROR', async () => {
    const extra = await startFake({ FAKE_EXTRA_LINE: '1' });
    await extra.ping();
    // The second pong arrives with nothing in flight, or ahead of the ready.
    await assert.rejects(extra.load({ modelPath: model }), { code: 'PROTOCOL_ERROR' });
    await assert.rejects(extra.ping(), { code: 'PROTOCOL_ERROR' });
    assert.equal((await extra.exited).signal, 'SIGKILL');
    const skip = await startFake({ FAKE_SKIP_PONG: '1' });
    const ping = skip.ping();
    const load = skip.load({ modelPath: model });
    // "ready" cannot answer the ping, and the ping must be answered first.
    await assert.rejects(ping, { code: 'PROTOCOL_ERROR' });
    await assert.rejects(load, { code: 'PROTOCOL_ERROR' });
    await skip.exited;
  });

  test('a killed engine rejects the transcribe in progress', async () => {
    const engine = await startFake();
    await engine.load({ modelPath: model });
    const t = engine.transcribe({ samples: new Float32Array(20 * 480000) });
    engine.kill();
    await assert.rejects(t, { code: 'ENGINE_EXITED' });
    assert.equal((await engine.exited).signal, 'SIGKILL');
  });

  test('start-up failures reject start()', async () => {
    await assert.rejects(startEngine({ enginePath: path.join(dir, 'no-such-engine') }), (e) => e.code === 'ENGINE_EXITED' && /cannot run/.test(e.message));
    await assert.rejects(startFake({ FAKE_HELLO: 'version3' }), (e) => e.code === 'PROTOCOL_ERROR' && /version 3/.test(e.message));
    await assert.rejects(startFake({ FAKE_HELLO: 'garbage' }), { code: 'PROTOCOL_ERROR' });
    await assert.rejects(startFake({ FAKE_HELLO: 'none' }, { helloTimeoutMs: 300 }), { code: 'TIMEOUT' });
  });

  test('close finishes queued work, shuts the engine down cleanly, is idempotent, keeps a bounded stderr tail', async () => {
    const engine = await startEngine({ enginePath: process.execPath, extraArgs: [fakeEngine], stderrTailBytes: 64 });
    await engine.load({ modelPath: model });
    for (let i = 0; i < 20; i++) await engine.ping();
    const queued = engine.transcribe({ samples: new Float32Array(5) });
    const closing = engine.close();
    await assert.rejects(engine.ping(), { code: 'ENGINE_EXITED', message: /shutting down/ });
    assert.match((await queued).text, /^samples=5 /);
    const [a, b] = await Promise.all([closing, engine.close()]);
    assert.deepEqual(a, { code: 0, signal: null });
    assert.deepEqual(b, a);
    await assert.rejects(engine.ping(), (e) => e.code === 'ENGINE_EXITED' && /after shutdown/.test(e.message));
    assert.ok(engine.stderrTail.length <= 64);
    assert.match(engine.stderrTail, /frame kind=8 bytes=0\n$/);
  });
});

test('the default thread count leaves half the CPUs to the rest of the desktop', () => {
  const cases = [[1, 1], [2, 1], [3, 1], [4, 2], [12, 6], [16, 8], [64, 8]];
  assert.deepEqual(cases.map(([cpus]) => defaultThreads(cpus)), cases.map(([, threads]) => threads));
});
