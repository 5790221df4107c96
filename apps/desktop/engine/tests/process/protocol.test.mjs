// What only the whole process shows: the hello line, exit codes, the trace
// switch, the reply stream's failures. The frame loop's unit tests pin the rest.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { HELLO_CPU, Kind, PONG, UNLOADED, error, frame, rawLength, runEngine, spawnEngine } from './harness.mjs';

// The frame loop's unit tests have every frame rule; here, the process's exit code.
test('sessions end with the exit code of their last frame', async () => {
  const cases = [
    [[frame(Kind.Ping), frame(Kind.Unload), frame(9)], HELLO_CPU + PONG + UNLOADED + error('BAD_FRAME'), 0],
    [[frame(Kind.Ping), frame(Kind.Shutdown), frame(Kind.Ping)], HELLO_CPU + PONG, 0],
    [[frame(Kind.Ping), rawLength(1920002), frame(Kind.Ping)], HELLO_CPU + PONG + error('BAD_FRAME'), 65],
  ];
  for (const [input, stdout, code] of cases) {
    const r = await runEngine(input);
    assert.deepEqual([r.stdout, r.code], [stdout, code]);
  }
});

test('trace lines only for QUILLET_WHISPER_TRACE=1', async () => {
  const on = await runEngine([frame(Kind.Ping), frame(9, 'ab'), rawLength(0)], { env: { QUILLET_WHISPER_TRACE: '1' } });
  assert.deepEqual(on.stderr.match(/(?<=^quillet-whisper: frame ).*$/gm), ['kind=7 length=1', 'kind=9 length=3']);
  for (const value of ['true', 'yes', '01', '10', '']) {
    const off = await runEngine([frame(Kind.Ping)], { env: { QUILLET_WHISPER_TRACE: value } });
    assert.doesNotMatch(off.stderr, /frame kind=/, value);
  }
});

// Closing the prefix command's descriptors says nothing about the Windows
// standard handles the engine sees, so these only run without a prefix.
const noPrefix = process.platform === 'win32' || !!process.env.QUILLET_WHISPER_PREFIX;
test('standard descriptors closed at start-up: no reply stream is exit 70, and the reply stream is only replies', { skip: noPrefix }, async () => {
  const table = [['>&-', [], '', 70], ['2>&-', [frame(Kind.Ping), frame(Kind.Shutdown)], HELLO_CPU + PONG, 0],
    ['0<&-', [], HELLO_CPU, 0], ['0<&- 2>&-', [], HELLO_CPU, 0]];
  for (const [shell, input, stdout, code] of table) {
    const r = await runEngine(input, { shell });
    assert.deepEqual([r.stdout, r.code, r.signal], [stdout, code, null], shell);
  }
});

test('a host that stops reading does not end the engine', async () => {
  const r = await new Promise((resolve) => {
    const child = spawnEngine();
    child.stdout.destroy(); // every reply write now fails
    child.stderr.resume();
    setTimeout(() => child.stdin.end(Buffer.concat([...Array(50).fill(frame(Kind.Ping)), frame(9)])), 200);
    child.on('close', (code, signal) => resolve({ code, signal }));
  });
  assert.deepEqual(r, { code: 0, signal: null });
});
