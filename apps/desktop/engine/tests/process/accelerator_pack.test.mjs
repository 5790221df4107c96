// The accelerator pack step at start-up, with the fake GPU plugin standing in
// for the pack's CUDA backend.
import assert from 'node:assert/strict';
import { copyFileSync, existsSync, mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { Kind, json, loadMsg, replies, runEngine, tempDir } from './harness.mjs';

const layouts = process.env.QUILLET_TEST_LAYOUTS;
const pluginCopy = layouts && join(layouts, 'pack/libggml-cuda.so');
const skip = !pluginCopy || !existsSync(pluginCopy) ? 'no pack backend built' : false;
const FULL_ID = 'd1be6fde11ac6e0407606b4e42fe72d34add8037';
const refused = (engine) => `quillet-whisper: accelerator pack refused (engine '${engine}', helper 'd1be6fd')\n`;
const DID_NOT_LOAD = 'quillet-whisper: accelerator pack did not load\n';
const env = { GGML_BACKEND_PATH: '', QUILLET_FAKE_GPU_CUDA: 'devs=gpu:ok' };

function pack(t, { manifest, backend = true }) {
  const dir = join(tempDir(t), 'pack dir');
  mkdirSync(dir);
  if (manifest !== undefined) writeFileSync(join(dir, 'quillet-pack.json'), manifest);
  if (backend === true) copyFileSync(pluginCopy, join(dir, 'libggml-cuda.so'));
  else if (typeof backend === 'string') writeFileSync(join(dir, 'libggml-cuda.so'), backend);
  return dir;
}

const packLines = (stderr) => stderr.split(/(?<=\n)/).filter((l) => l.startsWith('quillet-whisper: accelerator pack'));
const hello = (r) => JSON.parse(r.stdout.split('\n')[0]);

test('a matching manifest loads the backend silently and it can be used', { skip }, async (t) => {
  const dir = pack(t, { manifest: JSON.stringify({ engine: 'd1be6fd', cuda: '12.4', files: ['x'] }) });
  const model = join(dir, 'model.bin');
  writeTestModel(model, { variant: 'multilingual' });
  const r = await runEngine([json(Kind.Load, loadMsg(model, { device: 'cuda' }))], { args: ['--accelerators', dir], env });
  assert.deepEqual(packLines(r.stderr), []);
  assert.deepEqual(hello(r).backends, ['cuda', 'cpu']);
  assert.equal(replies(r)[0].device, 'cuda');
});

test('manifests that do not name this build exactly are refused', { skip }, async (t) => {
  const cases = [
    [JSON.stringify({ engine: FULL_ID }), FULL_ID],
    [JSON.stringify({ engine: 'D1BE6FD' }), 'D1BE6FD'],
    [JSON.stringify({ engine: 'd1be6fd ' }), 'd1be6fd '],
    [undefined, ''],
    [JSON.stringify({ engine: 'd1be6fd', pad: 'x'.repeat(8192) }), ''],
    ['["d1be6fd"]', ''],
    [JSON.stringify({ engine: 1234567 }), ''],
    [JSON.stringify({ other: 'd1be6fd' }), ''],
    ['{"engine":"d1be6fd",}', ''],
  ];
  for (const [manifest, shown] of cases) {
    const dir = pack(t, { manifest });
    const r = await runEngine([], { args: ['--accelerators', dir], env });
    assert.deepEqual(packLines(r.stderr), [refused(shown)], String(manifest).slice(0, 40));
    assert.deepEqual(hello(r).backends, ['cpu']);
  }
});

test('a manifest of exactly 8192 bytes is still read', { skip }, async (t) => {
  const base = JSON.stringify({ engine: 'd1be6fd', pad: '' });
  const manifest = base.replace('"pad":""', `"pad":"${'x'.repeat(8192 - base.length)}"`);
  assert.equal(Buffer.byteLength(manifest), 8192);
  const r = await runEngine([], { args: ['--accelerators', pack(t, { manifest })], env });
  assert.deepEqual(packLines(r.stderr), []);
  assert.deepEqual(hello(r).backends, ['cuda', 'cpu']);
});

test('a matching manifest without the backend file: no line at all', { skip }, async (t) => {
  const dir = pack(t, { manifest: JSON.stringify({ engine: 'd1be6fd' }), backend: false });
  const r = await runEngine([], { args: ['--accelerators', dir], env });
  assert.deepEqual(packLines(r.stderr), []);
  assert.deepEqual(hello(r).backends, ['cpu']);
});

test('a backend file that does not load is reported once', { skip }, async (t) => {
  const dir = pack(t, { manifest: JSON.stringify({ engine: 'd1be6fd' }), backend: 'not a shared library' });
  const r = await runEngine([], { args: ['--accelerators', dir], env });
  assert.deepEqual(packLines(r.stderr), [DID_NOT_LOAD]);
  assert.deepEqual(hello(r).backends, ['cpu']);
});

test('command line: last value wins, a trailing option and misspellings are ignored', { skip }, async (t) => {
  const good = pack(t, { manifest: JSON.stringify({ engine: 'd1be6fd' }) });
  const bad = pack(t, { manifest: JSON.stringify({ engine: 'nope' }) });
  const twice = await runEngine([], { args: ['--accelerators', bad, '--accelerators', good], env });
  assert.deepEqual(packLines(twice.stderr), []);
  assert.deepEqual(hello(twice).backends, ['cuda', 'cpu']);

  const last = await runEngine([], { args: ['--accelerators', good, '--accelerators'], env });
  assert.deepEqual(hello(last).backends, ['cuda', 'cpu']);

  const onlyLast = await runEngine([], { args: ['--accelerators'], env });
  assert.deepEqual(packLines(onlyLast.stderr), []);

  const misspelt = await runEngine([], { args: ['--accelerator', good, '--Accelerators', good], env });
  assert.deepEqual(packLines(misspelt.stderr), []);
  assert.deepEqual(hello(misspelt).backends, ['cpu']);

  const none = await runEngine([], { env });
  assert.deepEqual(packLines(none.stderr), []);
});
