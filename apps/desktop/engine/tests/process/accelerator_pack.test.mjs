// The accelerator pack step at start-up, with the fake GPU plugin standing in
// for the pack's CUDA backend.
import assert from 'node:assert/strict';
import { copyFileSync, existsSync, mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { load, replies, runEngine, tempDir } from './harness.mjs';

const layouts = process.env.QUILLET_TEST_LAYOUTS;
const pluginCopy = layouts && join(layouts, 'pack/libggml-cuda.so');
const skip = !pluginCopy || !existsSync(pluginCopy) ? 'no pack backend built' : false;
const FULL_ID = 'd1be6fde11ac6e0407606b4e42fe72d34add8037';
const refused = (engine) => `quillet-whisper: accelerator pack refused (engine '${engine}', helper 'd1be6fd')\n`;
const env = { GGML_BACKEND_PATH: '', QUILLET_FAKE_GPU_CUDA: 'devs=gpu:ok' };

function pack(t, manifest, backend = true) {
  const dir = join(tempDir(t), 'pack dir');
  mkdirSync(dir);
  if (manifest !== undefined) writeFileSync(join(dir, 'quillet-pack.json'), manifest);
  if (backend === true) copyFileSync(pluginCopy, join(dir, 'libggml-cuda.so'));
  else if (backend) writeFileSync(join(dir, 'libggml-cuda.so'), backend);
  return dir;
}

const packLines = (stderr) => stderr.split(/(?<=\n)/).filter((l) => l.startsWith('quillet-whisper: accelerator pack'));
const ours = JSON.stringify({ engine: 'd1be6fd', cuda: '12.4', files: ['x'] });
const exactly8192 = JSON.stringify({ engine: 'd1be6fd', pad: 'x'.repeat(8192 - 29) }); // the manifest size cap

test('a pack loads only with a manifest naming this build exactly, and says why not', { skip }, async (t) => {
  // [manifest, backend file, pack lines, backends in hello]
  const cases = [
    [ours, true, [], ['cuda', 'cpu']],
    [exactly8192, true, [], ['cuda', 'cpu']],
    [ours, false, [], ['cpu']],
    [ours, 'not a shared library', ['quillet-whisper: accelerator pack did not load\n'], ['cpu']],
    [JSON.stringify({ engine: FULL_ID }), true, [refused(FULL_ID)], ['cpu']],
    [JSON.stringify({ engine: 'D1BE6FD' }), true, [refused('D1BE6FD')], ['cpu']],
    [JSON.stringify({ engine: 'd1be6fd ' }), true, [refused('d1be6fd ')], ['cpu']],
    [undefined, true, [refused('')], ['cpu']],
    [exactly8192.replace('"pad":"', '"pad":"x'), true, [refused('')], ['cpu']],
    [JSON.stringify({ engine: 1234567 }), true, [refused('')], ['cpu']],
    [JSON.stringify({ other: 'd1be6fd' }), true, [refused('')], ['cpu']],
  ];
  for (const [manifest, backend, lines, backends] of cases) {
    const r = await runEngine([], { args: ['--accelerators', pack(t, manifest, backend)], env });
    const label = `${String(manifest).slice(0, 40)} / ${backend}`;
    assert.deepEqual(packLines(r.stderr), lines, label);
    assert.deepEqual(JSON.parse(r.stdout.split('\n')[0]).backends, backends, label);
  }
});

test('the pack backend can be used for a load', { skip }, async (t) => {
  const dir = pack(t, ours);
  const model = join(dir, 'model.bin');
  writeTestModel(model, { variant: 'multilingual' });
  const r = await runEngine([load(model, { device: 'cuda' })], { args: ['--accelerators', dir], env });
  assert.equal(replies(r)[0].device, 'cuda');
});
