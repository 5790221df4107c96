// The client against tests/fake-engine.mjs. The real engine behind the client:
// the transcribe command's tests.

import assert from 'node:assert/strict';
import { rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { after, beforeEach, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { EngineClient, defaultThreads, startEngine } from '../engine-client.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const fakeEngine = path.join(here, 'fake-engine.mjs');
const model = fakeEngine; // the fake loads any file there is
const until = async (ok) => { while (!ok()) await new Promise((r) => setTimeout(r, 5)); };
const MARK = Number.MAX_SAFE_INTEGER;

// The fake engine; `frames` gets [kind, bytes] of each frame it reads, pings left out.
async function startFake(fakeEnv = {}, { load = true, ...client } = {}) {
  const frames = [];
  const engine = await startEngine({
    enginePath: process.execPath,
    extraArgs: [fakeEngine],
    env: { ...process.env, ...fakeEnv },
    stderr: (line) => /^frame \[[0-68],/.test(line) && frames.push(JSON.parse(line.slice(6))),
    ...client,
  });
  // The frames read since the last call. Reports on stderr may trail replies:
  // a Cancel of an unused id marks where all are in.
  const isMark = ([k, n]) => k === 5 && n === JSON.stringify({ requestId: MARK }).length;
  engine.sent = async () => {
    await engine.cancel(MARK);
    await until(() => frames.some(isMark));
    return frames.splice(0, frames.findIndex(isMark) + 1).slice(0, -1);
  };
  if (load) await engine.load({ modelPath: model });
  await engine.sent();
  return engine;
}

// Most tests share one engine and take turns with it; a call that wrongly succeeds
// cancels what it began, so that one failure does not leave the engine busy for the rest.
const fake = await startFake({}, { load: false, stderrTailBytes: 64 });
after(() => fake.close());
beforeEach(() => fake.alive && fake.sent()); // so that each test reads only the frames it sent

test('each call resolves with its own reply, errors reject with .code and .requestId', async (t) => {
  assert.deepEqual(fake.hello, { type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });
  assert.deepEqual([await fake.ping(), await fake.unload()], [{ type: 'pong' }, { type: 'unloaded' }]);
  const missing = path.join(here, 'missing.bin');
  await assert.rejects(fake.load({ modelPath: missing }), (e) =>
    e.code === 'MODEL_MISSING' && !('requestId' in e) && e.path === missing && e.message.includes(missing));
  await assert.rejects(fake.transcribe({ requestId: 41, samples: new Float32Array(10) }), { code: 'NOT_LOADED', requestId: 41 });
  // MODEL_INVALID carries the engine's reason and names the file.
  const file = path.join(here, 'fake-engine.mjs.not-a-model');
  writeFileSync(file, 'not a model');
  t.after(() => rmSync(file));
  await assert.rejects(fake.load({ modelPath: file }), (e) => e.code === 'MODEL_INVALID' && e.path === file &&
    e.reason === 'not a whisper.cpp model file (magic)' &&
    e.message === `MODEL_INVALID: the model file was refused: ${file}: not a whisper.cpp model file (magic)`);
  assert.equal((await fake.load({ modelPath: model, threads: 2 })).type, 'ready');
  // 16-bit PCM is scaled by 1/32768.
  const r = await fake.transcribe({ requestId: MARK, language: 'de', samples: new Int16Array([16384, 100, -32768]) });
  assert.deepEqual(r, { type: 'result', requestId: MARK, text: 'samples=3 first=0.5 last=-1', decodeMs: 2, audioMs: 0 });
});

test('audio written as it arrives is chunked to the frame limit and finished', async () => {
  const d = await fake.begin({ language: 'en' });
  await d.write(new Float32Array(100).fill(0.25));
  const big = new Float32Array(600000).fill(-0.5);
  const written = d.write(big);
  big.fill(0.75); // the caller's buffer is reused at once: what was written stays
  await written;
  const r = await d.finish();
  assert.deepEqual([r.requestId, r.text], [d.requestId, 'samples=600100 first=0.25 last=-0.5']);
  assert.deepEqual((await fake.sent()).slice(1).map(([k, n]) => [k, k === 3 ? n : 0]),
    [[3, 400], [3, 1920000], [3, 480000], [4, 0]]);
  assert.equal(await d.write(new Float32Array(1)), false, 'dropped: the dictation has its result');
  assert.deepEqual(await fake.sent(), []);
});

test('a queued dictation that ends before its Begin is sent keeps the next one waiting for the open one', async () => {
  const ways = {
    'begin aborted': (signal) => fake.begin({ requestId: 2, signal }),
    'cancelled by id': () => {
      const queued = fake.begin({ requestId: 2 });
      fake.cancel(2);
      return queued;
    },
    'transcribe aborted': (signal) => fake.transcribe({ requestId: 2, samples: new Float32Array(3), signal }),
  };
  for (const [way, queueSecond] of Object.entries(ways)) {
    await fake.sent();
    const first = await fake.begin({ requestId: 1 });
    const controller = new AbortController();
    const second = queueSecond(controller.signal);
    let thirdSettled = false;
    const third = fake.begin({ requestId: 3 });
    third.then(() => (thirdSettled = true), () => (thirdSettled = true));
    controller.abort();
    try {
      await assert.rejects(second, way);
      await fake.ping();
      assert.equal(thirdSettled, false, `${way}: the third begin went out while the first was open`);
      assert.equal((await first.finish()).requestId, 1, way);
    } finally {
      await first.cancel(); // whatever failed, the engine is free for the tests after this one
      await third.then((d) => d.cancel(), () => {});
    }
    assert.deepEqual((await fake.sent()).map(([k]) => k), [2, 4, 2, 5], `${way}: the second sent nothing`);
  }
});

test('a refusal rejects with the engine code and id, sends nothing more, frees the id and the engine', async () => {
  await assert.rejects(fake.begin({ requestId: 7, language: 'xx' }),
    { name: 'EngineError', code: 'LANGUAGE_UNSUPPORTED', requestId: 7 });
  assert.deepEqual((await fake.sent()).map(([k]) => k), [2], 'a refused Begin is not cancelled');
  await assert.rejects(fake.transcribe({ requestId: 7, samples: new Float32Array(9600001) }),
    { code: 'AUDIO_TOO_LONG', requestId: 7 });
  assert.equal((await fake.transcribe({ requestId: 7, samples: new Float32Array(3) })).requestId, 7);
});

test('arguments are checked before anything is sent: RangeErrors name the field, bad samples are TypeErrors', async () => {
  const loads = [{ threads: 0 }, { threads: 9 }, { threads: 1.5 }, { shortAudioCtx: 1501 }, { shortWindowSamples: -1 },
    { device: 'gpu' }, { timeoutMs: -1 }, { modelPath: 'x'.repeat(4097) },
    { modelPath: '\u0001'.repeat(2000) }, // fits in units, not once escaped
    ...['\uD83D.bin', 'a\uDE00', '\uDE00\uD83D', '\uD83D\uDE00\uDE00'].map((p) => ({ modelPath: p }))]; // lone surrogates
  const begins = [{ language: 'EN' }, { language: 'e' }, { language: 'en-us' }, { prompt: 'p'.repeat(2049) },
    { prompt: '\u0001'.repeat(2048) }, { requestId: -1 }, { requestId: 1.5 }, { requestId: 2 ** 53 }];
  for (const enginePath of ['', 42]) {
    assert.throws(() => new EngineClient({ enginePath }), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
  }
  for (const [call, over] of [...loads.map((o) => ['load', o]), ...begins.map((o) => ['begin', o])]) {
    const field = Object.keys(over)[0];
    await assert.rejects(fake[call]({ modelPath: model, threads: 2, ...over }).then((d) => d.cancel?.()), (e) =>
      e instanceof RangeError && e.code === 'ERR_OUT_OF_RANGE' && e.message.startsWith(`${field} `), field);
  }
  const first = fake.transcribe({ requestId: 20, samples: new Float32Array(3) });
  await assert.rejects(fake.transcribe({ requestId: 20, samples: new Float32Array(3) }), /requestId 20 is already/);
  await first;
  const d = await fake.begin();
  for (const samples of [[0.5], new Float64Array(1), Buffer.alloc(4), new Uint8Array(4), 'abc', undefined]) {
    await assert.rejects(d.write(samples), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
    await assert.rejects(fake.transcribe({ samples }), TypeError);
  }
  await assert.rejects(d.write(Buffer.alloc(4)), /new Int16Array\(buf.buffer/);
  await d.cancel();
  assert.deepEqual((await fake.sent()).map(([k]) => k), [2, 3, 4, 2, 5], 'only the good calls sent frames');
  // The limits themselves are accepted, and so is a surrogate pair.
  await assert.rejects(fake.load({ modelPath: 'no-such-\u{1F600}.bin' }), { code: 'MODEL_MISSING' });
  await fake.load({ modelPath: model, threads: 8, shortAudioCtx: 1500 });
  await (await fake.begin({ language: 'auto', prompt: 'p'.repeat(2048) })).cancel();
  assert.deepEqual((await fake.sent()).map(([k]) => k), [1, 1, 2, 5]);
});

test('a write on a dictation that has ended resolves false and sends nothing, so a bare write cannot end the host',
  async () => {
    // As an IPC audio handler would: nobody awaits these writes (a rejection of one fails the test).
    const cancelled = await fake.begin();
    const pending = cancelled.write(new Float32Array(8 * 480000));
    await cancelled.cancel();
    cancelled.write(new Float32Array(1600));
    assert.equal(await pending, false, 'a write still queued at the cancel');
    assert.equal(await cancelled.write(new Float32Array(1600)), false);
    const finishing = await fake.begin();
    const result = finishing.finish();
    finishing.write(new Float32Array(1600));
    assert.equal((await result).text, 'samples=0 first=none last=none');
    const tooLong = await fake.begin();
    tooLong.write(new Float32Array(9600001));
    await assert.rejects(tooLong.finish(), { code: 'AUDIO_TOO_LONG' });
    assert.equal(await tooLong.write(new Float32Array(1)), false);
    await assert.rejects(tooLong.write([0.5]), { code: 'ERR_INVALID_ARG_TYPE' }, 'a wrong type is still refused');
    await new Promise((resolve) => setImmediate(resolve)); // an unhandled rejection shows by now
    const frames = (await fake.sent()).map(([k]) => k);
    // No audio from the writes after each end: only the too-long dictation's own 21 frames.
    assert.deepEqual(frames.slice(0, 5), [2, 5, 2, 4, 2], `frames: ${frames}`);
    assert.equal(frames.filter((k) => k === 3).length, 21, `frames: ${frames}`);
  });

test('cancelled or aborted before anything is sent, nothing goes out; an abort before Finish sends Cancel', async () => {
  const reason = new Error('user let go of the key');
  await assert.rejects(fake.begin({ signal: AbortSignal.abort(reason) }).then((d) => d.cancel()), (e) => e === reason);
  const t = fake.transcribe({ requestId: 5, samples: new Float32Array(3) });
  await fake.cancel(5);
  await assert.rejects(t, { code: 'CANCELLED', requestId: 5 });
  await fake.cancel(77); // an id the client does not hold just goes out
  assert.deepEqual(await fake.sent(), [[5, '{"requestId":77}'.length]]);
  const controller = new AbortController();
  const d = await fake.begin({ requestId: 3 });
  d.write(new Float32Array(8 * 480000)).catch(() => {});
  const finished = d.finish({ signal: controller.signal });
  controller.abort();
  await assert.rejects(finished, { name: 'AbortError' });
  const kinds = (await fake.sent()).map(([k]) => k);
  assert.ok(kinds[0] === 2 && kinds.at(-1) === 5 && !kinds.includes(4), `frames: ${kinds}`);
  // The engine holds no request any more: a default-id transcribe is not BUSY.
  assert.equal((await fake.transcribe({ samples: new Float32Array(1) })).text, 'samples=1 first=0 last=0');
});

test('close finishes queued work, shuts the engine down cleanly, is idempotent, keeps a bounded stderr tail', async () => {
  const queued = fake.transcribe({ samples: new Float32Array(5) });
  const closing = fake.close();
  await assert.rejects(fake.ping(), { code: 'ENGINE_EXITED', message: /shutting down/ });
  assert.match((await queued).text, /^samples=5 /);
  assert.deepEqual(await Promise.all([closing, fake.close()]), [{ code: 0, signal: null }, { code: 0, signal: null }]);
  await assert.rejects(fake.ping(), (e) => e.code === 'ENGINE_EXITED' && /after shutdown/.test(e.message));
  assert.ok(fake.stderrTail.length <= 64);
  assert.match(fake.stderrTail, /frame \[8,0\]\n$/);
});

test('an abort once Finish is written stops the waiting, not the decode', async (t) => {
  // Long enough that the abort lands mid-decode even on a stalled machine.
  const engine = await startFake({ FAKE_BLOCK_ON: '4:4000' });
  t.after(() => engine.close());
  const late = [];
  engine.on('line', (line) => line.type === 'result' && late.push(line.requestId));
  const controller = new AbortController();
  const d = await engine.begin({ requestId: 40 });
  await d.write(new Float32Array(10));
  const finished = d.finish({ signal: controller.signal });
  await until(() => engine.stderrTail.includes('frame [4,'));
  controller.abort();
  await assert.rejects(finished, { name: 'AbortError' });
  assert.deepEqual(late, [], 'rejected while the engine was still decoding');
  // The decode's answer is read and dropped; the next dictation gets its own.
  assert.equal((await engine.transcribe({ requestId: 41, samples: new Float32Array(2) })).requestId, 41);
  assert.deepEqual(late, [40, 41]);
  assert.ok(!(await engine.sent()).some(([k]) => k === 5), 'no Cancel: it could not stop anything');
});

test('start-up failures reject start(); a load or hello not answered in time stops the engine with TIMEOUT', async (t) => {
  await assert.rejects(startFake({ FAKE_HELLO: '{"type":"hello","version":3}' }),
    (e) => e.code === 'PROTOCOL_ERROR' && /version 3/.test(e.message));
  await assert.rejects(startFake({ FAKE_HELLO: '' }, { helloTimeoutMs: 300 }), { code: 'TIMEOUT' });
  const engine = await startFake({ FAKE_BLOCK_ON: '1:20000' }, { load: false });
  t.after(() => engine.kill()); // should the timeout fail to
  await assert.rejects(engine.load({ modelPath: model, timeoutMs: 300 }), (e) => e.code === 'TIMEOUT' && e.message.includes(model));
  await assert.rejects(engine.ping(), { code: 'TIMEOUT' });
  assert.deepEqual([engine.alive, (await engine.exited).signal], [false, 'SIGKILL']);
});

test('the engine dying or killed rejects what is pending and every later call', async () => {
  for (const dieOn of ['4', '3', 'kill']) {
    const engine = await startFake({ FAKE_DIE_ON: dieOn });
    const answeredBefore = engine.ping();
    const transcribe = engine.transcribe({ requestId: 3, samples: new Float32Array(dieOn === '4' ? 100 : 10 * 480000) });
    const queuedBehind = engine.ping();
    if (dieOn === 'kill') engine.kill();
    await assert.rejects(transcribe, (e) => e.code === 'ENGINE_EXITED' &&
      (dieOn === 'kill' || (/code 3/.test(e.message) && /simulated crash/.test(e.message))));
    // Killed at once, the first ping may or may not be answered.
    if (dieOn !== 'kill') assert.deepEqual(await answeredBefore, { type: 'pong' });
    else await answeredBefore.catch(() => {});
    await assert.rejects(queuedBehind, { code: 'ENGINE_EXITED' });
    await assert.rejects(engine.load({ modelPath: model }), { code: 'ENGINE_EXITED' });
    assert.deepEqual(await engine.close(), dieOn === 'kill' ? { code: null, signal: 'SIGKILL' } : { code: 3, signal: null });
  }
});

test('a line that answers nothing, or a missing answer, stops the engine with PROTOCOL_ERROR', async () => {
  const extra = await startFake({ FAKE_PONGS: '2' }, { load: false });
  await extra.ping();
  // The second pong arrives with nothing in flight, or ahead of the ready.
  await assert.rejects(extra.load({ modelPath: model }), { code: 'PROTOCOL_ERROR' });
  await assert.rejects(extra.ping(), { code: 'PROTOCOL_ERROR' });
  assert.equal((await extra.exited).signal, 'SIGKILL');
  const skip = await startFake({ FAKE_PONGS: '0' }, { load: false });
  const [ping, load] = [skip.ping(), skip.load({ modelPath: model })];
  // "ready" cannot answer the ping, and the ping must be answered first.
  await assert.rejects(ping, { code: 'PROTOCOL_ERROR' });
  await assert.rejects(load, { code: 'PROTOCOL_ERROR' });
  await skip.exited;
});

test('the default thread count: half the CPUs, at least 2 where there are 2, at most 8', () => {
  const cases = [[1, 1], [2, 2], [3, 2], [4, 2], [5, 2], [12, 6], [16, 8], [64, 8]];
  assert.deepEqual(cases.map(([cpus]) => defaultThreads(cpus)), cases.map(([, threads]) => threads));
});
