// The client against tests/fake-engine.mjs, a small script that speaks the
// engine's protocol.

import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { EngineClient, startEngine } from '../engine-client.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const fakeEngine = path.join(here, 'fake-engine.mjs');

let dir;
let model;
before(() => {
  dir = mkdtempSync(path.join(os.tmpdir(), 'engine-client-test-'));
  model = path.join(dir, 'model.bin');
  writeFileSync(model, 'fake model');
});
after(() => rmSync(dir, { recursive: true, force: true }));

// Starts the fake engine; `frames` collects the "frame kind=K bytes=N" lines it reports.
async function startFake(fakeEnv = {}, options = {}) {
  const frames = [];
  let client; // the reports only start once frames are sent, after start-up
  client = await startEngine({
    enginePath: process.execPath,
    extraArgs: [fakeEngine],
    env: { ...process.env, ...fakeEnv },
    stderr: (line) => {
      const m = /^frame kind=(\d+) bytes=(\d+)$/.exec(line);
      if (m) frames.push([Number(m[1]), Number(m[2])]);
      if (m && m[1] === '7') client.pingReports++;
      options.onStderr?.(line);
    },
    ...options.client,
  });
  client.frames = frames;
  client.pingReports = 0;
  client.pingsSent = 0;
  const ping = client.ping.bind(client);
  client.ping = () => {
    client.pingsSent++;
    return ping();
  };
  return client;
}

// The fake reports frames on stderr, a pipe apart from the replies, so a
// report can trail the reply it preceded. Once the report of a ping that has
// been answered is in, every earlier frame's report is in too.
async function settled(engine) {
  await engine.ping();
  while (engine.pingReports < engine.pingsSent) await new Promise((r) => setTimeout(r, 2));
}

// Frames other than pings that the engine received while `fn` ran, and
// what `fn` resolved or rejected with.
async function framesDuring(engine, fn) {
  await settled(engine);
  engine.frames.length = 0;
  let value;
  try {
    value = await fn();
  } catch (err) {
    value = err;
  }
  await settled(engine);
  return { frames: engine.frames.splice(0).filter(([k]) => k !== 7), value };
}

const ramp = (n) => Float32Array.from({ length: n }, (_, i) => i / n);

for (const split of [false, true]) {
  describe(split ? 'replies cut into 1-3 byte pieces' : 'replies in whole lines', () => {
    let engine;
    before(async () => {
      engine = await startFake(split ? { FAKE_SPLIT: '1' } : {});
    });
    after(() => engine.close());

    test('hello is exposed', () => {
      assert.deepEqual(engine.hello, { type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });
    });

    test('ping, unload, load and transcribe resolve with their replies', async () => {
      assert.deepEqual(await engine.ping(), { type: 'pong' });
      assert.deepEqual(await engine.unload(), { type: 'unloaded' });
      const ready = await engine.load({ modelPath: model, threads: 2 });
      assert.deepEqual(ready, { type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false });
      const result = await engine.transcribe({ requestId: 9007199254740991, samples: new Float32Array([0.5, -0.25]) });
      assert.deepEqual(result, {
        type: 'result', requestId: 9007199254740991, text: 'samples=2 first=0.5 last=-0.25', decodeMs: 2, audioMs: 0,
      });
    });

    test('non-ASCII text arrives intact', async () => {
      await engine.load({ modelPath: model });
      const r = await engine.transcribe({ prompt: 'utf8', samples: new Float32Array(16) });
      assert.equal(r.text, 'héllo wörld € 😀');
    });

    test('engine error codes reject with .code and .requestId', async () => {
      await assert.rejects(engine.load({ modelPath: path.join(dir, 'missing.bin') }),
        (e) => e.code === 'MODEL_MISSING' && !('requestId' in e));
      // The failed load left no model: a Begin is refused with its own id.
      await assert.rejects(engine.transcribe({ requestId: 41, samples: new Float32Array(10) }),
        { code: 'NOT_LOADED', requestId: 41 });
      await assert.rejects(engine.load({ modelPath: model, device: 'cuda' }), { code: 'GPU_UNAVAILABLE' });
      await engine.load({ modelPath: model });
      await assert.rejects(engine.transcribe({ requestId: 42, language: 'xx', samples: new Float32Array(10) }),
        { code: 'LANGUAGE_UNSUPPORTED', requestId: 42 });
      // A malformed Begin (the engine's bare BAD_FRAME) is refused before sending.
      await assert.rejects(engine.transcribe({ requestId: 43, language: 'EN', samples: new Float32Array(10) }),
        { name: 'RangeError', message: /^language / });
      // After all that the replies are still matched to the right calls.
      const r = await engine.transcribe({ requestId: 44, language: 'de', samples: new Float32Array(32) });
      assert.equal(r.requestId, 44);
      assert.deepEqual(await engine.ping(), { type: 'pong' });
    });
  });
}

describe('audio transport', () => {
  let engine;
  before(async () => {
    engine = await startFake();
    await engine.load({ modelPath: model });
  });
  after(() => engine.close());

  test('long audio goes out as Begin, 480,000-sample frames, Finish', async () => {
    const samples = ramp(1000000);
    const { frames, value: r } = await framesDuring(engine, () => engine.transcribe({ requestId: 7, language: 'en', prompt: '', samples }));
    assert.equal(r.text, `samples=1000000 first=0 last=${Math.fround(999999 / 1000000)}`);
    assert.equal(r.audioMs, 62500);
    const begin = Buffer.byteLength(JSON.stringify({ requestId: 7, language: 'en', prompt: '' }));
    assert.deepEqual(frames, [[2, begin], [3, 1920000], [3, 1920000], [3, 160000], [4, 15]]);
  });

  test('an empty recording sends Begin and Finish only', async () => {
    const { frames, value: r } = await framesDuring(engine, () => engine.transcribe({ requestId: 8, samples: new Float32Array(0) }));
    assert.equal(r.audioMs, 0);
    assert.deepEqual(frames.map(([k]) => k), [2, 4]);
  });

  test('a Float32Array goes as is; plain arrays and other typed arrays are refused', async () => {
    const r = await engine.transcribe({ samples: new Float32Array([0.5, 0.125]) });
    assert.equal(r.text, 'samples=2 first=0.5 last=0.125');
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
    // The Finish behind the audio is answered NO_REQUEST; the intake error is what counts.
    assert.equal(value.code, 'AUDIO_TOO_LONG');
    assert.equal(value.requestId, 12);
    assert.equal(frames.filter(([k]) => k === 3).length, 21);
    assert.equal((await engine.transcribe({ requestId: 13, samples: new Float32Array(3) })).requestId, 13);
  });

  test('a request id still in progress cannot be reused', async () => {
    const first = engine.transcribe({ requestId: 20, samples: new Float32Array(3) });
    await assert.rejects(engine.transcribe({ requestId: 20, samples: new Float32Array(3) }), RangeError);
    await first;
    await assert.rejects(engine.transcribe({ requestId: -1, samples: new Float32Array(3) }), RangeError);
    await assert.rejects(engine.transcribe({ requestId: 1.5, samples: new Float32Array(3) }), RangeError);
    await assert.rejects(engine.transcribe({}), TypeError);
    await assert.rejects(engine.transcribe({ samples: 'abc' }), TypeError);
  });
});

describe('cancel', () => {
  test('cancel while audio is being sent stops the audio and sends Cancel', async () => {
    let engine;
    let cancelled;
    engine = await startFake({}, {
      onStderr: (line) => {
        if (line.startsWith('frame kind=3') && !cancelled) cancelled = engine.cancel(30);
      },
    });
    try {
      await engine.load({ modelPath: model });
      const { frames, value } = await framesDuring(engine, async () => {
        const t = engine.transcribe({ requestId: 30, samples: new Float32Array(20 * 480000) });
        await assert.rejects(t, { code: 'CANCELLED', requestId: 30 });
        return cancelled;
      });
      assert.equal(value, undefined);
      const kinds = frames.map(([k]) => k);
      assert.equal(kinds[0], 2);
      assert.equal(kinds.at(-1), 5, `frames: ${kinds}`);
      assert.ok(kinds.filter((k) => k === 3).length < 20, 'the rest of the audio was not sent');
      assert.ok(!kinds.includes(4));
      // The engine holds no request any more: a new one is not BUSY.
      assert.equal((await engine.transcribe({ requestId: 31, samples: new Float32Array(3) })).requestId, 31);
    } finally {
      await engine.close();
    }
  });

  test('cancel before anything was sent sends nothing', async () => {
    const engine = await startFake();
    try {
      await engine.load({ modelPath: model });
      const { frames } = await framesDuring(engine, async () => {
        const t = engine.transcribe({ requestId: 5, samples: new Float32Array(3) });
        await engine.cancel(5);
        await assert.rejects(t, { code: 'CANCELLED' });
      });
      assert.deepEqual(frames, []);
    } finally {
      await engine.close();
    }
  });

  test('cancel of an unknown id just sends a Cancel frame', async () => {
    const engine = await startFake();
    try {
      const { frames } = await framesDuring(engine, () => engine.cancel(77));
      assert.deepEqual(frames, [[5, Buffer.byteLength('{"requestId":77}')]]);
    } finally {
      await engine.close();
    }
  });
});

describe('engine failures', () => {
  test('the engine dying at Finish rejects the transcribe and every later call', async () => {
    const engine = await startFake({ FAKE_DIE_ON: '4' });
    await engine.load({ modelPath: model });
    const answeredBefore = engine.ping(); // answered before the crash: unaffected by it
    await assert.rejects(engine.transcribe({ requestId: 3, samples: new Float32Array(100) }), (e) => {
      assert.equal(e.code, 'ENGINE_EXITED');
      assert.match(e.message, /code 3/);
      assert.match(e.message, /simulated crash/);
      return true;
    });
    assert.deepEqual(await answeredBefore, { type: 'pong' });
    await assert.rejects(engine.ping(), { code: 'ENGINE_EXITED' });
    await assert.rejects(engine.load({ modelPath: model }), { code: 'ENGINE_EXITED' });
    assert.equal(engine.alive, false);
    assert.deepEqual(await engine.close(), { code: 3, signal: null });
  });

  test('the engine dying while audio is still being written does not hang', async () => {
    const engine = await startFake({ FAKE_DIE_ON: '3' });
    await engine.load({ modelPath: model });
    const transcribe = engine.transcribe({ samples: new Float32Array(10 * 480000) });
    const queuedBehind = engine.ping();
    await assert.rejects(transcribe, { code: 'ENGINE_EXITED' });
    await assert.rejects(queuedBehind, { code: 'ENGINE_EXITED' });
    assert.equal((await engine.exited).code, 3);
  });

  test('a line that answers nothing stops the engine with PROTOCOL_ERROR', async () => {
    const engine = await startFake({ FAKE_EXTRA_LINE: '1' });
    await engine.ping();
    // The second pong arrives with nothing in flight, or ahead of the ready.
    await assert.rejects(engine.load({ modelPath: model }), { code: 'PROTOCOL_ERROR' });
    await assert.rejects(engine.ping(), { code: 'PROTOCOL_ERROR' });
    assert.equal((await engine.exited).signal, 'SIGKILL');
  });

  test('a missing answer is detected at the next line, not skipped over', async () => {
    const engine = await startFake({ FAKE_SKIP_PONG: '1' });
    const ping = engine.ping();
    const load = engine.load({ modelPath: model });
    // "ready" cannot answer the ping, and the ping must be answered first.
    await assert.rejects(ping, { code: 'PROTOCOL_ERROR' });
    await assert.rejects(load, { code: 'PROTOCOL_ERROR' });
    await engine.exited;
  });

  test('start-up failures reject start()', async () => {
    await assert.rejects(startEngine({ enginePath: path.join(dir, 'no-such-engine') }),
      (e) => e.code === 'ENGINE_EXITED' && /cannot run/.test(e.message));
    await assert.rejects(startFake({ FAKE_HELLO: 'version3' }), (e) => e.code === 'PROTOCOL_ERROR' && /version 3/.test(e.message));
    await assert.rejects(startFake({ FAKE_HELLO: 'garbage' }), { code: 'PROTOCOL_ERROR' });
    await assert.rejects(startFake({ FAKE_HELLO: 'none' }, { client: { helloTimeoutMs: 300 } }), { code: 'TIMEOUT' });
    assert.throws(() => new EngineClient({}), TypeError);
  });

  test('close shuts the engine down cleanly and is idempotent', async () => {
    const engine = await startFake();
    await engine.load({ modelPath: model });
    // Work queued before close is finished first; calls after it are refused.
    const queued = engine.transcribe({ samples: new Float32Array(5) });
    const closing = engine.close();
    await assert.rejects(engine.ping(), { code: 'ENGINE_EXITED', message: /shutting down/ });
    assert.match((await queued).text, /^samples=5 /);
    const [a, b] = await Promise.all([closing, engine.close()]);
    assert.deepEqual(a, { code: 0, signal: null });
    assert.deepEqual(b, a);
    await assert.rejects(engine.ping(), (e) => e.code === 'ENGINE_EXITED' && /after shutdown/.test(e.message));
  });

  test('stderr is collected as a bounded tail by default', async () => {
    const engine = await startEngine({
      enginePath: process.execPath, extraArgs: [fakeEngine], stderrTailBytes: 64,
    });
    for (let i = 0; i < 20; i++) await engine.ping();
    await engine.close();
    assert.ok(engine.stderrTail.length <= 64);
    assert.match(engine.stderrTail, /frame kind=8 bytes=0\n$/);
  });
});
