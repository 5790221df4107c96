'use strict';
// The built modules through their real binding, one path per export:
// appfocus_sim.node (the module on the simulated desktop), and
// appfocus_test.node (the same plus "simulate") to put applications in front.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const bin = path.join(__dirname, '../../../../../build/linux/bin');
const appfocus = require(process.env.APPFOCUS_MODULE || path.join(bin, 'appfocus_sim.node'));
const testModulePath = process.env.APPFOCUS_TEST_MODULE || path.join(bin, 'appfocus_test.node');
const sim = require(testModulePath);

const snapshotKeys = ['epoch', 'clockMs', 'observedMs', 'changedMs', 'running', 'valid', 'reason', 'app'];

async function until(pred, what) {
  for (const end = Date.now() + 5000; ; await new Promise((resolve) => setTimeout(resolve, 2))) {
    const value = pred();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
  }
}

const withoutClock = ({ clockMs, ...rest }) => rest;

test('five exports in order; before any start, snapshot and status agree on a stopped record', () => {
  assert.deepStrictEqual(Reflect.ownKeys(appfocus), ['start', 'stop', 'recheck', 'snapshot', 'status']);
  for (const key of Reflect.ownKeys(appfocus)) {
    const d = Object.getOwnPropertyDescriptor(appfocus, key);
    assert.deepStrictEqual([typeof d.value, d.writable, d.enumerable, d.configurable], ['function', false, false, false]);
  }
  const s = appfocus.snapshot('ignored');
  assert.deepStrictEqual(Object.keys(s), snapshotKeys);
  assert.deepStrictEqual(withoutClock(s), {
    epoch: 1, observedMs: 0, changedMs: 0, running: false, valid: false, reason: 'stopped', app: null,
  });
  const t = appfocus.status();
  assert.deepStrictEqual(withoutClock(t), withoutClock(s));
  assert.ok(s.clockMs > 0 && t.clockMs >= s.clockMs);
  assert.notStrictEqual(s, appfocus.snapshot(), 'a fresh object every call');
});

test('start, recheck and stop of a resolved app, as the host sees them', async () => {
  sim.simulate('reset');
  sim.simulate('app', 0x1fffffffffffff, 0xfffffff0, 'C:\\x\\\u00c9diteur \u65e5\u672c.EXE');
  assert.strictEqual(sim.start(1), undefined);
  const s = await until(() => { const v = sim.snapshot(); return v.valid && v; }, 'a resolved app');
  assert.deepStrictEqual(Object.keys(s), snapshotKeys);
  assert.deepStrictEqual([s.epoch, s.running, s.reason], [2, true, null]);
  assert.ok(s.changedMs > 0 && s.changedMs <= s.observedMs && s.observedMs <= s.clockMs);
  assert.deepStrictEqual(Object.keys(s.app), ['name', 'bundleId', 'processId', 'windowHandle']);
  assert.deepStrictEqual(s.app, {
    name: '\u00c9diteur \u65e5\u672c', bundleId: '', processId: 0xfffffff0, windowHandle: '0x1fffffffffffff',
  });
  for (const o of [s, s.app]) {
    assert.strictEqual(Object.getPrototypeOf(o), Object.prototype);
    for (const d of Object.values(Object.getOwnPropertyDescriptors(o))) {
      assert.deepStrictEqual([d.writable, d.enumerable, d.configurable], [true, true, true]);
    }
  }

  assert.strictEqual(sim.recheck(), undefined);
  await until(() => sim.snapshot().observedMs > s.observedMs && sim.snapshot().valid, 'the recheck result');
  assert.strictEqual(sim.snapshot().changedMs, s.changedMs, 'the same app is no change');

  assert.strictEqual(sim.stop(), undefined);
  const stopped = sim.snapshot();
  assert.deepStrictEqual([stopped.running, stopped.reason, stopped.changedMs, stopped.app], [false, 'stopped', 0, null]);
  assert.ok(stopped.observedMs > 0, 'observedMs of the last probe is kept');
});

test('an environment torn down while running joins its tracker thread', async () => {
  sim.simulate('reset');
  const before = sim.simulate('threads');
  const worker = new Worker(`
    const { parentPort, workerData } = require('node:worker_threads');
    const m = require(workerData);
    m.simulate('app', 0x4400, 99, 'C:\\\\w\\\\worker.exe');
    m.start();
    const poll = () => m.snapshot().valid ? parentPort.postMessage(m.simulate('threads'))
                                          : setTimeout(poll, 2);
    poll();`, { eval: true, workerData: testModulePath });
  // Both listeners before any await: a busy parent may get the message and the exit in one turn.
  const exited = new Promise((resolve) => worker.once('exit', resolve));
  const during = await new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  assert.strictEqual(during.running, before.running + 1, 'the worker tracker runs');
  assert.strictEqual(await exited, 0);
  const after = sim.simulate('threads');
  assert.strictEqual(after.running, before.running);
  assert.strictEqual(after.joined - before.joined, after.started - before.started);
});
