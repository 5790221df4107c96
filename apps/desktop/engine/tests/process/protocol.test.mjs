// The engine's frame transport, start-up and fixed reply lines, byte for byte.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { test } from 'node:test';

import { HELLO_CPU, Kind, PONG, UNLOADED, engineBin, error, frame, rawLength, runEngine, spawnEngine } from './harness.mjs';

test('hello first, then pong and unloaded, exit 0 at end of input', async () => {
  const r = await runEngine([frame(Kind.Ping), frame(Kind.Unload), frame(Kind.Ping)]);
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU + PONG + UNLOADED + PONG);
});

test('empty input: only the hello line', async () => {
  const r = await runEngine(Buffer.alloc(0));
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU);
});

test('built-in frames with a payload are refused and the loop goes on', async () => {
  const r = await runEngine([
    frame(Kind.Ping, 'x'), frame(Kind.Unload, 'x'), frame(Kind.Shutdown, 'x'), frame(Kind.Ping),
  ]);
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU + error('BAD_FRAME') + error('BAD_FRAME') + error('BAD_FRAME') + PONG);
});

test('unknown kinds are refused without a request id', async () => {
  const r = await runEngine([frame(0), frame(9, 'abc'), frame(200), frame(255), frame(Kind.Ping)]);
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU + error('BAD_FRAME').repeat(4) + PONG);
});

test('shutdown ends the engine and nothing after it is read', async () => {
  const r = await runEngine([frame(Kind.Ping), frame(Kind.Shutdown), frame(Kind.Ping)]);
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU + PONG);
});

test('a bad length is fatal: BAD_FRAME then exit 65', async () => {
  for (const len of [0, 1920002, 0xffffffff]) {
    const r = await runEngine([frame(Kind.Ping), rawLength(len), frame(Kind.Ping)]);
    assert.equal(r.code, 65, `length ${len}`);
    assert.equal(r.stdout, HELLO_CPU + PONG + error('BAD_FRAME'), `length ${len}`);
  }
});

test('the largest frame is accepted', async () => {
  const big = frame(Kind.Audio, Buffer.alloc(1920000));
  assert.equal(big.readUInt32LE(0), 1920001);
  const r = await runEngine([big, frame(Kind.Ping)]);
  assert.equal(r.code, 0);
  assert.equal(r.stdout, HELLO_CPU + error('NO_REQUEST') + PONG);
});

test('end of input inside a length or a payload is a clean exit', async () => {
  const whole = frame(Kind.Begin, '{"requestId":1,"language":"en","prompt":""}');
  for (const cut of [1, 3, 4, 5, 20]) {
    const r = await runEngine([frame(Kind.Ping), whole.subarray(0, cut)]);
    assert.equal(r.code, 0, `cut ${cut}`);
    assert.equal(r.stdout, HELLO_CPU + PONG, `cut ${cut}`);
  }
});

test('trace line only for QUILLET_WHISPER_TRACE=1', async () => {
  const on = await runEngine([frame(Kind.Ping), frame(9, 'ab')], { env: { QUILLET_WHISPER_TRACE: '1' } });
  assert.match(on.stderr, /^quillet-whisper: frame kind=7 length=1$/m);
  assert.match(on.stderr, /^quillet-whisper: frame kind=9 length=3$/m);
  for (const value of ['true', 'yes', '01', '']) {
    const off = await runEngine([frame(Kind.Ping)], { env: { QUILLET_WHISPER_TRACE: value } });
    assert.doesNotMatch(off.stderr, /frame kind=/, value);
  }
  // A bad length is never traced.
  const bad = await runEngine([rawLength(0)], { env: { QUILLET_WHISPER_TRACE: '1' } });
  assert.doesNotMatch(bad.stderr, /frame kind=/);
});

test('library prints never reach the reply stream', async () => {
  // Backend loading logs through the hook; stdout must stay pure protocol.
  const r = await runEngine([frame(Kind.Ping)]);
  for (const line of r.stdout.split('\n').filter(Boolean)) JSON.parse(line);
  assert.ok(r.stderr.length > 0);
});

// Closing the prefix command's fd 1 says nothing about the Windows standard
// handle the engine sees, so the case only runs without a prefix.
const noPrefix = process.platform === 'win32' || !!process.env.QUILLET_WHISPER_PREFIX;
test('no reply stream at start-up: exit 70 and nothing written', { skip: noPrefix }, async () => {
  const r = await new Promise((resolve) => {
    const child = spawn('/bin/sh', ['-c', 'exec "$0" >&-', engineBin], { stdio: ['pipe', 'ignore', 'pipe'] });
    child.stdin.end();
    child.on('close', (code) => resolve({ code }));
  });
  assert.equal(r.code, 70);
});

test('a host that stops reading does not end the engine', async () => {
  // Close our end of stdout at once: every reply write then fails.
  const r = await new Promise((resolve) => {
    const child = spawnEngine();
    child.stdout.destroy();
    child.stderr.resume();
    const pings = Array.from({ length: 50 }, () => frame(Kind.Ping));
    setTimeout(() => child.stdin.end(Buffer.concat([...pings, frame(9)])), 200);
    child.on('close', (code, signal) => resolve({ code, signal }));
  });
  assert.equal(r.signal, null);
  assert.equal(r.code, 0);
});

test('binary payload bytes pass unchanged (0x1A, CR LF)', async () => {
  const bytes = Buffer.from([0x1a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x1a, 0x1a]);
  const r = await runEngine([frame(Kind.Audio, bytes), frame(Kind.Ping)]);
  assert.equal(r.stdout, HELLO_CPU + error('NO_REQUEST') + PONG);
  assert.ok(!r.stdoutBytes.includes(0x0d), 'no carriage return in replies');
});
