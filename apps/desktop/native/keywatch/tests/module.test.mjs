// What JS sees of the built modules, one path per export; the test build adds "testing" (sim_driver.cpp).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { assertExports, callFromWorkers, inWorker, until } from '../../common/tests/support.mjs';

const require = createRequire(import.meta.url);
const modulePath = process.env.KEYWATCH_MODULE;
const testModulePath = process.env.KEYWATCH_TEST_MODULE;
assert.ok(modulePath && testModulePath, 'KEYWATCH_MODULE and KEYWATCH_TEST_MODULE must name the built modules');
const kw = require(modulePath);
const kt = require(testModulePath);

const exportNames = ['start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys',
  'remoteKeysStart', 'remoteKeysStop', 'remoteKeysState'];
const statusOf = (running, epoch, failure) =>
  ({ platform: 'win32', accessibility: 'unsupported', listen: 'unsupported', running, epoch, failure });

test('the nine exports in order; status and drain before any start; the synchronous exports', () => {
  assertExports(kw, exportNames);
  assert.deepEqual(Object.entries(kw.status('ignored')), Object.entries(statusOf(false, 0, null))); // in this order
  const d = kw.drain();
  assert.deepEqual(Object.keys(d), ['epoch', 'clockMs', 'status', 'frames']);
  assert.deepEqual([d.epoch, d.status, d.frames], [0, statusOf(false, 0, null), []]);
  assert.ok(d.clockMs > 0 && kw.drain().clockMs >= d.clockMs);

  assert.equal(kw.sendKeys('paste', 'extra'), 'sent');
  // The text checks themselves are SendKeys.*; here, what the binding refuses before them.
  assert.deepEqual(['paste'.padEnd(40, 'x'), 42].map((value) => kw.sendKeys(value)), ['bad-command', 'bad-command']);
  assert.equal(kw.foregroundPid('ignored'), 4240, 'the simulated foreground process');
  kw.remoteKeysStart();
  assert.deepEqual(kw.remoteKeysState(), { active: false, client: '', modifiers: [], other: false });
  assert.equal(kw.remoteKeysStop(), undefined);
});

test('a whole capture through the worker: start, arm, keys, drain, stop', async () => {
  const started = kt.start('ignored');
  assert.deepEqual(started, statusOf(true, started.epoch, 'awaiting-neutral'));
  await until(() => kt.status().failure === null, 'the arming');
  const armed = kt.drain();
  assert.equal(armed.epoch, started.epoch + 1);
  assert.deepEqual(armed.frames.map((f) => ({ ...f, sourceMs: 0 })), [
    { sequence: 1, sourceMs: 0, kind: 'reset', reason: 'backend' },
    { sequence: 2, sourceMs: 0, kind: 'snapshot', held: [], otherInput: false },
  ]);

  // Raw input names Control by its generic code; the physical key is the left one.
  const keys = [[0x1D, 0, 0x11, 0xA2], [0x1E, 0, 0x41], [0x1E, 1, 0x41], [0x1D, 1, 0x11, 0xA2]];
  for (const [make, flags, vkey, physical] of keys) assert.ok(kt.testing.rawKey(1, make, flags, vkey, physical));
  const frames = [];
  await until(() => frames.push(...kt.drain().frames) >= 4, 'four key frames');
  assert.deepEqual(frames.map(({ sourceMs, ...f }) => f), [['LeftControl', true], ['Other', true], ['Other', false],
    ['LeftControl', false]].map(([key, down], i) => ({ sequence: 3 + i, kind: 'event', key, down, repeat: false })));

  assert.deepEqual(kt.stop(), statusOf(false, armed.epoch + 1, null));
  assert.deepEqual(kt.drain().frames.map((f) => f.reason), ['shutdown']);
  assert.deepEqual(kt.stop(), kt.status(), 'a second stop changes nothing');
});

test('remoteKeysState lists the held modifiers in the table\'s order, whatever order they went down in', async () => {
  kt.testing.remoteClient(1);
  kt.remoteKeysStart();
  try {
    await until(() => kt.remoteKeysState().active, 'the client in front');
    const keys = [0x5C, 0xA1, 0x41, 0xA2]; // right Windows, right Shift, A, left Control
    for (const code of keys) assert.ok(kt.testing.remoteKey(code, 1));
    assert.deepEqual(kt.remoteKeysState(),
      { active: true, client: 'mstsc', modifiers: [0xA2, 0xA1, 0x5C], other: true });
    for (const code of keys) kt.testing.remoteKey(code, 0);
  } finally {
    kt.remoteKeysStop();
    kt.testing.remoteClient(0);
  }
});

// A key held since before the start blocks the arming: the drain's status carries the standing failure.
test('an environment has its own record; its teardown stops its capture and the remote-keys monitor', async () => {
  assert.equal(kt.testing.rawKey(1, 0x1E, 0, 0x41), false, 'no worker window here');
  try {
    const { message, code } = await inWorker(`
      const before = m.status();
      m.remoteKeysStart();
      const started = m.start();
      parentPort.postMessage({ before, started, drained: m.drain().status, monitor: m.testing.monitorHeld() });`,
    testModulePath);
    assert.equal(code, 0);
    const started = statusOf(true, message.started.epoch, 'awaiting-neutral');
    assert.deepEqual(message, { before: statusOf(false, 0, null), started, drained: started, monitor: true });
  } finally {
    kt.testing.rawKey(1, 0x1E, 1, 0x41);
  }
  assert.equal(kt.testing.monitorHeld(), false);
  assert.equal(kt.start().running, true, 'raw input was given back');
  kt.stop();
});

test('workers calling every export with odd arguments, half ended mid-call, leave the process sound', async () => {
  await callFromWorkers(`
    m.start(a); m.status(a); m.drain(a); m.foregroundPid(a); m.sendKeys(a);
    m.remoteKeysStart(a); m.remoteKeysState(a); m.testing.rawKey(1, 0x1D, i % 2, 0x11, 0xA2);
    if (i % 3 === 2) m.remoteKeysStop(a);
    if (i % 4 === 3) m.stop(a);`, testModulePath);
  kt.testing.rawKey(1, 0x1D, 1, 0x11, 0xA2); // left Control up again, wherever the workers left it
  assert.equal(kt.testing.monitorHeld(), false, 'the last environment to go stopped the monitor');
  assert.equal(kt.start().running, true, 'raw input was given back');
  kt.stop();
});
