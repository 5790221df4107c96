// Device choice through the real ggml registry: the engine runs from a test
// folder whose backend files are copies of a fake GPU plugin, configured per
// copy through QUILLET_FAKE_GPU_<NAME>. Load order there is blas, cuda,
// metal, vulkan, cpu.
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import { Kind, frame, json, loadMsg, replies, runEngine, tempDir } from './harness.mjs';

const layouts = process.env.QUILLET_TEST_LAYOUTS;
const skip = !layouts || !existsSync(join(layouts, 'gpu/quillet-whisper')) ? 'no test layouts built' : false;
let dir;
let model;

before(() => {
  dir = mkdtempSync(join(tmpdir(), 'quillet-devices-'));
  model = join(dir, 'model.bin');
  writeTestModel(model, { variant: 'multilingual' });
});
after(() => rmSync(dir, { recursive: true, force: true }));

function gpuEnv(config, extra = {}) {
  const env = { GGML_BACKEND_PATH: '', QUILLET_WHISPER_TEST_FAIL_GPU: '', ...extra };
  for (const name of ['BLAS', 'CUDA', 'METAL', 'VULKAN']) env[`QUILLET_FAKE_GPU_${name}`] = config[name] ?? 'devs=';
  return env;
}

async function withGpus(t, config, input, extra) {
  const log = join(dir, `probes-${Math.random().toString(36).slice(2)}.log`);
  const withLog = {};
  for (const [k, v] of Object.entries(config)) withLog[k] = `${v};log=${log}`;
  const r = await runEngine(input(model), { bin: join(layouts, 'gpu/quillet-whisper'), env: gpuEnv(withLog, extra) });
  r.probes = existsSync(log) ? readFileSync(log, 'utf8').trim().split('\n') : [];
  r.hello = JSON.parse(r.stdout.split('\n')[0]);
  return r;
}

const loadAs = (device) => (m) => [json(Kind.Load, loadMsg(m, { device }))];

test('hello lists GPU families in a fixed order whatever the discovery order', { skip }, async (t) => {
  const a = await withGpus(t, { BLAS: 'reg=Vulkan;devs=gpu:ok', CUDA: 'devs=gpu:ok' }, () => []);
  assert.deepEqual(a.hello.backends, ['vulkan', 'cuda', 'cpu']);
  const b = await withGpus(t, { BLAS: 'reg=CUDA;devs=gpu:ok', CUDA: 'reg=vulkan7;devs=igpu:ok', METAL: 'reg=MTL;devs=gpu:ok' }, () => []);
  assert.deepEqual(b.hello.backends, ['metal', 'vulkan', 'cuda', 'cpu']);
  const c = await withGpus(t, { BLAS: 'reg=Fakery;devs=gpu:ok', CUDA: 'devs=accel:ok' }, () => []);
  assert.deepEqual(c.hello.backends, ['cpu']);
  // The test switch breaks probes, not the list.
  const d = await withGpus(t, { CUDA: 'devs=gpu:ok' }, () => [], { QUILLET_WHISPER_TEST_FAIL_GPU: '1' });
  assert.deepEqual(d.hello.backends, ['cuda', 'cpu']);
});

test('auto prefers cuda, then metal, then vulkan', { skip }, async (t) => {
  const all = { CUDA: 'devs=gpu:ok', METAL: 'reg=Metal;devs=gpu:ok', VULKAN: 'devs=gpu:ok' };
  const r1 = await withGpus(t, all, loadAs('auto'));
  assert.match(r1.stdout.split('\n')[1], /^\{"type":"ready","version":2,"device":"cuda","loadMs":\d+,"fallback":false\}$/);

  const r2 = await withGpus(t, { ...all, CUDA: 'devs=gpu:fail' }, loadAs('auto'));
  assert.equal(replies(r2)[0].device, 'metal');
  assert.equal(replies(r2)[0].fallback, false);

  const r3 = await withGpus(t, { ...all, CUDA: 'devs=gpu:fail', METAL: 'reg=mtl;devs=gpu:fail' }, loadAs('auto'));
  assert.equal(replies(r3)[0].device, 'vulkan');
  assert.equal(replies(r3)[0].fallback, false);
  assert.match(r3.stderr, /quillet-whisper: loaded device=vulkan fallback=0 in \d+ ms; /);
});

test('only the first device of a family is tried; failure falls back to the CPU', { skip }, async (t) => {
  const r = await withGpus(t, { CUDA: 'devs=gpu:fail,gpu:ok' }, loadAs('auto'));
  assert.deepEqual(replies(r)[0].device, 'cpu');
  assert.deepEqual(replies(r)[0].fallback, true);
  assert.deepEqual(r.probes, ['init CUDA0 fail']);
});

test('gpu_device is the ordinal among all GPU-kind devices, unnamed ones included', { skip }, async (t) => {
  // Ordinal 0 is an unnamed GPU, 1 a failing CUDA device, 2 the Vulkan device.
  const r = await withGpus(t, { BLAS: 'reg=Fakery;devs=gpu:ok', CUDA: 'devs=gpu:fail', VULKAN: 'devs=igpu:ok' },
    (m) => [json(Kind.Load, loadMsg(m, { device: 'auto' })), json(Kind.Begin, { requestId: 1, language: 'en', prompt: '' }), json(Kind.Finish, { requestId: 1 })]);
  const [ready, result] = replies(r);
  assert.equal(ready.device, 'vulkan');
  assert.equal(result.type, 'result');
  // The probe, then the speech library opening the same device for real.
  const inits = r.probes.filter((l) => l.startsWith('init'));
  assert.deepEqual(inits, ['init CUDA0 fail', 'init VULKAN0 ok', 'init VULKAN0 ok']);
});

test('the test switch: auto falls back, explicit families are unavailable', { skip }, async (t) => {
  const env = { QUILLET_WHISPER_TEST_FAIL_GPU: '1' };
  const r = await withGpus(t, { CUDA: 'devs=gpu:ok' }, (m) => [
    json(Kind.Load, loadMsg(m, { device: 'auto' })), json(Kind.Load, loadMsg(m, { device: 'cuda' })),
  ], env);
  const [auto, cuda] = replies(r);
  assert.equal(auto.device, 'cpu');
  assert.equal(auto.fallback, true);
  assert.deepEqual(cuda, { type: 'error', code: 'GPU_UNAVAILABLE' });
  assert.deepEqual(r.probes, [], 'no device is touched while the switch is on');

  const loose = await withGpus(t, { CUDA: 'devs=gpu:ok' }, loadAs('cuda'), { QUILLET_WHISPER_TEST_FAIL_GPU: 'true' });
  assert.equal(replies(loose)[0].device, 'cuda');
});

test('explicit families: found and working, missing, or failing', { skip }, async (t) => {
  const r = await withGpus(t, { CUDA: 'devs=gpu:fail,gpu:ok', METAL: 'reg=METAL;devs=igpu:ok' }, (m) => [
    json(Kind.Load, loadMsg(m, { device: 'metal' })),
    json(Kind.Load, loadMsg(m, { device: 'cuda' })),
    json(Kind.Load, loadMsg(m, { device: 'vulkan' })),
    json(Kind.Begin, { requestId: 4, language: 'en', prompt: '' }),
  ]);
  const lines = replies(r);
  assert.equal(lines[0].device, 'metal');
  assert.equal(lines[0].fallback, false);
  assert.deepEqual(lines.slice(1), [
    { type: 'error', code: 'GPU_UNAVAILABLE' },
    { type: 'error', code: 'GPU_UNAVAILABLE' },
    { type: 'error', code: 'NOT_LOADED', requestId: 4 },
  ]);
});

test('auto with no GPU and no switch: cpu without fallback', { skip }, async (t) => {
  const r = await withGpus(t, { BLAS: 'reg=Fakery;devs=gpu:ok' }, loadAs('auto'));
  assert.equal(replies(r)[0].device, 'cpu');
  assert.equal(replies(r)[0].fallback, false);
});

test('an engine folder without a CPU backend refuses loads instead of aborting', { skip }, async (t) => {
  const d = tempDir(t);
  const m = join(d, 'model.bin');
  writeTestModel(m, { variant: 'multilingual' });
  const r = await runEngine([
    json(Kind.Load, loadMsg(m, { device: 'cpu' })), json(Kind.Load, loadMsg(m, { device: 'auto' })),
    json(Kind.Begin, { requestId: 2, language: 'en', prompt: '' }), frame(Kind.Ping),
  ], { bin: join(layouts, 'nocpu/quillet-whisper'), env: { GGML_BACKEND_PATH: '' } });
  assert.equal(r.code, 0);
  assert.deepEqual(replies(r), [
    { type: 'error', code: 'INTERNAL' },
    { type: 'error', code: 'INTERNAL' },
    { type: 'error', code: 'NOT_LOADED', requestId: 2 },
    { type: 'pong' },
  ]);
});

test('a decode the speech library reports as failed is DECODE_FAILED, and the model stays', { skip }, async (t) => {
  const r = await withGpus(t, { CUDA: 'devs=gpu:broken' }, (m) => [
    json(Kind.Load, loadMsg(m, { device: 'cuda' })),
    json(Kind.Begin, { requestId: 12, language: 'en', prompt: '' }),
    json(Kind.Finish, { requestId: 12 }),
    json(Kind.Finish, { requestId: 12 }),
    json(Kind.Begin, { requestId: 13, language: 'en', prompt: '' }),
    json(Kind.Cancel, { requestId: 13 }),
    frame(Kind.Ping),
  ]);
  const lines = replies(r);
  assert.equal(lines[0].device, 'cuda');
  assert.deepEqual(lines.slice(1), [
    { type: 'error', code: 'DECODE_FAILED', requestId: 12 },
    { type: 'error', code: 'NO_REQUEST', requestId: 12 },
    { type: 'pong' },
  ]);
  // Nothing else is logged for the failed decode.
  assert.doesNotMatch(r.stderr, /quillet-whisper: decoded /);
});
