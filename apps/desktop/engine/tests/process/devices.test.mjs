// Device choice and accelerator packs through the real ggml registry, from
// test folders whose backend files (loaded blas, cuda, metal, vulkan, cpu) are
// copies of a fake GPU plugin, each configured through QUILLET_FAKE_GPU_<NAME>.
import assert from 'node:assert/strict';
import { copyFileSync, existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { writeTestModel } from '../../tools/make-test-model.mjs';
import {
  Kind, begin, cancel, error, finish, frame, liveEngine, load, openFds, outcomes, procVisible, replies, runEngine,
  tempDir,
} from './harness.mjs';

const layouts = process.env.QUILLET_TEST_LAYOUTS;
const skip = !layouts || !existsSync(join(layouts, 'gpu/quillet-whisper')) ? 'no test layouts built' : false;
const dir = tempDir();
const model = join(dir, 'model.bin');
writeTestModel(model, { variant: 'multilingual' });

// Runs the engine of the GPU layout with one setting per plugin copy; every
// copy logs its device initialisations to r.probes.
async function withGpus(config, input, extra = {}) {
  const log = join(dir, `probes-${Math.random().toString(36).slice(2)}.log`);
  const env = { GGML_BACKEND_PATH: '', QUILLET_WHISPER_TEST_FAIL_GPU: '', ...extra };
  for (const name of ['BLAS', 'CUDA', 'METAL', 'VULKAN']) env[`QUILLET_FAKE_GPU_${name}`] = `${config[name] ?? 'devs='};log=${log}`;
  const r = await runEngine(input, { bin: join(layouts, 'gpu/quillet-whisper'), env });
  r.probes = existsSync(log) ? readFileSync(log, 'utf8').trim().split('\n').filter((l) => l.startsWith('init')) : [];
  r.hello = JSON.parse(r.stdout.split('\n')[0]);
  return r;
}

const ALL = { CUDA: 'devs=gpu:ok', METAL: 'reg=Metal;devs=gpu:ok', VULKAN: 'devs=gpu:ok' };

test('device choice: preference order, first device of a family only, fallback, the test switch; hello lists GPU ' +
  'families in a fixed order whatever the discovery order', { skip }, async () => {
  // [plugins, requested device, test switch, reply (device and fallback, or error code), devices initialised,
  //  the hello's backends where a row checks them]
  const cases = [
    [ALL, 'auto', '', 'cuda false', ['CUDA0 ok', 'CUDA0 ok'], ['metal', 'vulkan', 'cuda', 'cpu']],
    [{ ...ALL, CUDA: 'devs=gpu:fail' }, 'auto', '', 'metal false', ['CUDA0 fail', 'Metal0 ok', 'Metal0 ok']],
    [{ ...ALL, CUDA: 'devs=gpu:fail', METAL: 'reg=mtl;devs=gpu:fail' }, 'auto', '', 'vulkan false', ['CUDA0 fail', 'mtl0 fail', 'VULKAN0 ok', 'VULKAN0 ok']],
    [{ CUDA: 'devs=gpu:fail,gpu:ok' }, 'auto', '', 'cpu true', ['CUDA0 fail']],
    [{ BLAS: 'reg=Fakery;devs=gpu:ok' }, 'auto', '', 'cpu false', []],
    [{ CUDA: 'devs=gpu:ok' }, 'auto', '1', 'cpu true', [], ['cuda', 'cpu']], // the switch breaks probes, not the list
    [{ CUDA: 'devs=gpu:ok' }, 'cuda', '1', 'GPU_UNAVAILABLE', []],
    // Only exactly "1" is the switch.
    ...['true', '01', '1 '].map((sw) => [{ CUDA: 'devs=gpu:ok' }, 'cuda', sw, 'cuda false', ['CUDA0 ok', 'CUDA0 ok']]),
    [{ CUDA: 'devs=gpu:fail,gpu:ok' }, 'cuda', '', 'GPU_UNAVAILABLE', ['CUDA0 fail']],
    [{ METAL: 'reg=METAL;devs=igpu:ok' }, 'metal', '', 'metal false', ['METAL0 ok', 'METAL0 ok']],
    [{ METAL: 'reg=METAL;devs=igpu:ok' }, 'vulkan', '', 'GPU_UNAVAILABLE', []],
    [ALL, 'cpu', '', 'cpu false', []],
    // gpu_device counts every GPU-kind device: 0 is an unnamed GPU, 1 the
    // failing CUDA one, 2 the Vulkan one the library must open.
    [{ BLAS: 'reg=Fakery;devs=gpu:ok', CUDA: 'devs=gpu:fail', VULKAN: 'devs=igpu:ok' }, 'auto', '', 'vulkan false',
      ['CUDA0 fail', 'VULKAN0 ok', 'VULKAN0 ok'], ['vulkan', 'cuda', 'cpu']],
  ];
  for (const [config, device, sw, want, probes, backends] of cases) {
    const r = await withGpus(config, [load(model, { device })], { QUILLET_WHISPER_TEST_FAIL_GPU: sw });
    const [reply] = replies(r);
    const label = `${device} with ${JSON.stringify(config)} switch '${sw}'`;
    assert.equal(reply.code ?? `${reply.device} ${reply.fallback}`, want, label);
    assert.deepEqual(r.probes, probes.map((p) => `init ${p}`), label);
    if (backends) assert.deepEqual(r.hello.backends, backends, label);
  }
});

test('an engine folder without a CPU backend refuses loads instead of aborting, and closes the model file', { skip }, async (t) => {
  const engine = await liveEngine(t, { bin: join(layouts, 'nocpu/quillet-whisper'), env: { GGML_BACKEND_PATH: '' } });
  const fds = procVisible ? openFds(engine.child.pid) : 0;
  for (const device of ['cpu', 'auto']) {
    assert.equal(await engine.ask(load(model, { device })) + '\n', error('INTERNAL'), device);
    if (procVisible) assert.equal(openFds(engine.child.pid), fds, device);
  }
});

test('a decode the speech library reports as failed is DECODE_FAILED, and the model stays; what the libraries print ' +
  'on standard output lands on standard error, during start-up, load and decode', { skip }, async () => {
  const r = await withGpus({ CUDA: 'devs=gpu:broken;stdout=1' },
    [load(model, { device: 'cuda' }), begin(12), finish(12), finish(12), begin(13), cancel(13), frame(Kind.Ping)]);
  assert.equal(replies(r)[0].device, 'cuda');
  assert.deepEqual(outcomes(r).slice(1), [['DECODE_FAILED', 12], ['NO_REQUEST', 12], ['pong', undefined]]);
  // Nothing else is logged for the failed decode.
  assert.doesNotMatch(r.stderr, /quillet-whisper: decoded /);
  assert.doesNotMatch(r.stdout, /fake_gpu_backend/);
  for (const event of ['registered CUDA', 'init CUDA0', 'compute CUDA0']) assert.match(r.stderr, new RegExp(`^fake_gpu_backend: ${event}$`, 'm'));
});

// The accelerator pack step at start-up, with the same plugin standing in
// for the pack's CUDA backend.
const pluginCopy = join(layouts ?? '', 'pack/libggml-cuda.so');
const FULL_ID = 'd1be6fde11ac6e0407606b4e42fe72d34add8037';
const refused = (engine) => `quillet-whisper: accelerator pack refused (engine '${engine}', helper 'd1be6fd')\n`;
const packEnv = { GGML_BACKEND_PATH: '', QUILLET_FAKE_GPU_CUDA: 'devs=gpu:ok' };

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

test('a pack loads only with a manifest naming this build exactly, says why not, and serves loads', { skip }, async (t) => {
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
    const args = ['--accelerators', pack(t, manifest, backend)];
    const r = await runEngine([load(model, { device: 'cuda' })], { args, env: packEnv });
    const label = `${String(manifest).slice(0, 40)} / ${backend}`;
    assert.deepEqual(packLines(r.stderr), lines, label);
    assert.deepEqual(JSON.parse(r.stdout.split('\n')[0]).backends, backends, label);
    const reply = replies(r)[0];
    assert.equal(reply.device ?? reply.code, backends[0] === 'cuda' ? 'cuda' : 'GPU_UNAVAILABLE', label);
  }
});
