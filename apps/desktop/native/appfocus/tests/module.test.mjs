// The built modules through their real binding, one path per export: APPFOCUS_MODULE (the module on the
// simulated desktop) and APPFOCUS_TEST_MODULE (the same plus "simulate", to put applications in front).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { assertExports, callFromWorkers, inWorker, until } from '../../common/tests/support.mjs';

const require = createRequire(import.meta.url);
const modulePath = process.env.APPFOCUS_MODULE;
const testModulePath = process.env.APPFOCUS_TEST_MODULE;
assert.ok(modulePath && testModulePath, 'APPFOCUS_MODULE and APPFOCUS_TEST_MODULE must name the built modules');
const appfocus = require(modulePath);
const sim = require(testModulePath);

const snapshotKeys = ['epoch', 'clockMs', 'observedMs', 'changedMs', 'running', 'valid', 'reason', 'app'];
const withoutClock = ({ clockMs, ...rest }) => rest;

test('five exports in order; before any start, snapshot and status agree on a stopped record', () => {
  assertExports(appfocus, ['start', 'stop', 'recheck', 'snapshot', 'status']);
  const s = appfocus.snapshot('ignored');
  assert.deepEqual(Object.keys(s), snapshotKeys);
  assert.deepEqual(withoutClock(s), {
    epoch: 1, observedMs: 0, changedMs: 0, running: false, valid: false, reason: 'stopped', app: null,
  });
  const t = appfocus.status();
  assert.deepEqual(withoutClock(t), withoutClock(s));
  assert.ok(s.clockMs > 0 && t.clockMs >= s.clockMs);
  assert.notEqual(s, appfocus.snapshot(), 'a fresh object every call');
});

test('start, recheck and stop of a resolved app, as the host sees them', async () => {
  sim.simulate('reset');
  sim.simulate('app', 0x1fffffffffffff, 0xfffffff0, 'C:\\x\\\u00c9diteur \u65e5\u672c.EXE');
  assert.equal(sim.start(1), undefined);
  const s = await until(() => { const v = sim.snapshot(); return v.valid && v; }, 'a resolved app');
  assert.deepEqual([s.epoch, s.running, s.reason], [2, true, null]);
  assert.ok(s.changedMs > 0 && s.changedMs <= s.observedMs && s.observedMs <= s.clockMs);
  assert.deepEqual(Object.keys(s.app), ['name', 'bundleId', 'processId', 'windowHandle']);
  assert.deepEqual(s.app, {
    name: '\u00c9diteur \u65e5\u672c', bundleId: '', processId: 0xfffffff0, windowHandle: '0x1fffffffffffff',
  });
  for (const o of [s, s.app]) {
    assert.equal(Object.getPrototypeOf(o), Object.prototype);
    for (const d of Object.values(Object.getOwnPropertyDescriptors(o))) {
      assert.deepEqual([d.writable, d.enumerable, d.configurable], [true, true, true]);
    }
  }

  assert.equal(sim.recheck(), undefined);
  await until(() => sim.snapshot().observedMs > s.observedMs && sim.snapshot().valid, 'the recheck result');

  assert.equal(sim.stop(), undefined);
  const stopped = sim.snapshot();
  assert.deepEqual([stopped.running, stopped.reason, stopped.changedMs, stopped.app], [false, 'stopped', 0, null]);
  assert.ok(stopped.observedMs > 0, 'observedMs of the last probe is kept');
});

test('an environment torn down while running joins its tracker thread', async () => {
  sim.simulate('reset');
  const before = sim.simulate('threads');
  const { message: during, code } = await inWorker(`
    m.simulate('app', 0x4400, 99, 'C:\\\\w\\\\worker.exe');
    m.start();
    parentPort.postMessage(m.simulate('threads'));`, testModulePath);
  assert.equal(during.running, before.running + 1, 'the worker tracker runs');
  assert.equal(code, 0);
  const after = sim.simulate('threads');
  assert.equal(after.running, before.running);
  assert.equal(after.joined - before.joined, after.started - before.started);
});

test('workers calling every export with odd arguments, half of them ended mid-call, join every tracker', async () => {
  sim.simulate('reset');
  const before = sim.simulate('threads');
  await callFromWorkers(`
    m.start(a); m.recheck(a); m.snapshot(a); m.status(a);
    if (i % 4 === 3) m.stop(a);
    if (i % 8 === 0) m.simulate('app', 0x100 + (i % 3), 70 + (i % 3), 'C:\\\\x\\\\app.exe');`, testModulePath);
  const after = sim.simulate('threads');
  assert.equal(after.running, before.running);
  assert.equal(after.joined - before.joined, after.started - before.started);
});
