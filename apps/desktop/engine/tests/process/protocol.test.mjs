// What only the whole process shows: the hello line, exit codes, the trace
// switch, the reply stream's failures, staying flat over a long session. The
// frame loop's unit tests pin the rest.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { makeTestModel } from '../../tools/make-test-model.mjs';
import {
  HELLO_CPU, Kind, PONG, UNLOADED, audio, begin, error, finish, frame, liveEngine, load, openFds, procVisible, rawLength,
  runEngine, spawnEngine, tempDir,
} from './harness.mjs';

// The frame loop's unit tests have every frame rule; here, the process's exit code.
test('sessions end with the exit code of their last frame', async () => {
  const cases = [
    [[frame(Kind.Ping), frame(Kind.Unload), frame(9)], HELLO_CPU + PONG + UNLOADED + error('BAD_FRAME'), 0],
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

// One engine process through many dictations and model reloads: open
// descriptors, and resident memory where it measures the engine, stay flat.
// Under a sanitizer, resident memory measures its quarantine and shadow
// memory, not the engine; its own leak check at exit judges the engine there.
const sanitized = !!process.env.QUILLET_TEST_SANITIZED;
const residentKiB = (pid) => Number(/VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);

test('dictations and reloads in one process stay flat', { skip: !procVisible, timeout: 600000 }, async (t) => {
  const model = join(tempDir(t), 'model.bin');
  // A text context of 32 caps each empty decode at 16 tokens, and a short
  // audio context keeps the encoder quick.
  writeFileSync(model, makeTestModel({ variant: 'multilingual', header: { nTextCtx: 32 } }));
  const loadFrame = load(model, { shortWindowSamples: 1000000, shortAudioCtx: 64 });
  // A fixed mmap threshold: glibc would otherwise raise it and serve big
  // buffers from a heap whose trimming varies run to run.
  const engine = await liveEngine(t, { env: { MALLOC_MMAP_THRESHOLD_: '131072' } });
  const measure = () => ({ rss: sanitized ? 0 : residentKiB(engine.child.pid), fds: openFds(engine.child.pid) });
  const ready = async () => assert.match(await engine.ask(loadFrame), /"type":"ready"/);

  // Ten seconds of audio a dictation: 640 KB of samples, so keeping any of
  // them shows within the bound below.
  const samples = audio(new Float32Array(160000).map((_, i) => 0.1 * Math.sin(i / 10)));
  const dictate = async (id) => assert.match(await engine.ask(begin(id, 'en', 'hello'), samples, finish(id)),
    new RegExp(`^\\{"type":"result","requestId":${id},`));
  const reload = async () => (await ready(), assert.equal(await engine.ask(frame(Kind.Unload)) + '\n', UNLOADED));

  await ready();
  for (let i = 0; i < 5; i++) await dictate(i); // warm up allocator pools
  const d0 = measure();
  for (let i = 5; i < 30; i++) await dictate(i);
  const d1 = measure();
  for (let i = 0; i < 10; i++) await reload(); // the allocator settles on its pools
  const r0 = measure();
  for (let i = 0; i < 30; i++) await reload();
  const r1 = measure();
  assert.equal(await engine.close(), 0);

  t.diagnostic(`rss KiB: dictations ${d0.rss} -> ${d1.rss}; reloads ${r0.rss} -> ${r1.rss}; fds ${d0.fds}/${d1.fds}/${r1.fds}`);
  assert.equal(d1.fds, d0.fds);
  assert.equal(r1.fds, d0.fds, 'an unloaded engine holds no more descriptors than a loaded one');
  if (!sanitized) {
    assert.ok(d1.rss - d0.rss < 8 * 1024, `25 dictations grew resident memory by ${d1.rss - d0.rss} KiB`);
    assert.ok(r1.rss - r0.rss < 8 * 1024, `30 reloads grew resident memory by ${r1.rss - r0.rss} KiB`);
  }
});
