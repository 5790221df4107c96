// One engine process through many dictations and model reloads: open
// descriptors, and resident memory where it measures the engine, stay flat.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { makeTestModel } from '../../tools/make-test-model.mjs';
import { Kind, LiveEngine, audio, begin, finish, frame, load, openFds, procVisible, tempDir } from './harness.mjs';

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
  const engine = new LiveEngine({ env: { MALLOC_MMAP_THRESHOLD_: '131072' } });
  assert.match(await engine.next(), /"type":"hello"/);
  const measure = () => ({ rss: sanitized ? 0 : residentKiB(engine.child.pid), fds: openFds(engine.child.pid) });
  const ready = async () => assert.match(await engine.ask(loadFrame), /"type":"ready"/);

  // Ten seconds of audio a dictation: 640 KB of samples, so keeping any of
  // them shows within the bound below.
  const samples = audio(new Float32Array(160000).map((_, i) => 0.1 * Math.sin(i / 10)));
  const dictate = async (id) => assert.match(await engine.ask(begin(id, 'en', 'hello'), samples, finish(id)),
    new RegExp(`^\\{"type":"result","requestId":${id},`));
  const reload = async () => (await ready(), assert.equal(await engine.ask(frame(Kind.Unload)), '{"type":"unloaded"}'));

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
