'use strict';
// The built modules through their real binding: appfocus.node exactly as
// shipped, and appfocus_test.node (the same module plus "simulate") to put
// applications in front of the simulated platform.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const bin = path.join(__dirname, '../../../../../build/linux/bin');
const modulePath = process.env.APPFOCUS_MODULE || path.join(bin, 'appfocus_sim.node');
const testModulePath = process.env.APPFOCUS_TEST_MODULE || path.join(bin, 'appfocus_test.node');
const appfocus = require(modulePath);
const sim = require(testModulePath);

const snapshotKeys = ['epoch', 'clockMs', 'observedMs', 'changedMs', 'running', 'valid', 'reason', 'app'];
const appKeys = ['name', 'bundleId', 'processId', 'windowHandle'];

async function until(pred, what) {
  const end = Date.now() + 2000;
  for (;;) {
    const value = pred();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 2));
  }
}

function withoutClock(snapshot) {
  const { clockMs, ...rest } = snapshot;
  return rest;
}

test('exports the five functions in order, with default attributes', () => {
  assert.deepStrictEqual(Reflect.ownKeys(appfocus), ['start', 'stop', 'recheck', 'snapshot', 'status']);
  for (const key of Reflect.ownKeys(appfocus)) {
    const d = Object.getOwnPropertyDescriptor(appfocus, key);
    assert.strictEqual(typeof d.value, 'function', key);
    assert.strictEqual(d.writable, false, key);
    assert.strictEqual(d.enumerable, false, key);
    assert.strictEqual(d.configurable, false, key);
  }
});

test('before any start: epoch 1, stopped, zero times, no app, clock running', () => {
  const s = appfocus.snapshot();
  assert.deepStrictEqual(Object.keys(s), snapshotKeys);
  assert.deepStrictEqual(withoutClock(s), {
    epoch: 1, observedMs: 0, changedMs: 0, running: false, valid: false, reason: 'stopped', app: null,
  });
  assert.ok(s.clockMs > 0);
});

test('status equals snapshot but for clockMs, and every call builds a fresh object', () => {
  const a = appfocus.snapshot();
  const b = appfocus.status();
  const c = appfocus.snapshot();
  assert.deepStrictEqual(Object.keys(b), snapshotKeys);
  assert.deepStrictEqual(withoutClock(a), withoutClock(b));
  assert.deepStrictEqual(withoutClock(a), withoutClock(c));
  assert.ok(a.clockMs <= b.clockMs && b.clockMs <= c.clockMs);
  assert.notStrictEqual(a, c);
  a.epoch = 99;
  assert.strictEqual(appfocus.snapshot().epoch, 1);
});

test('arguments are ignored and every function but snapshot returns undefined', () => {
  assert.strictEqual(appfocus.recheck('now', 1, {}), undefined);
  assert.deepStrictEqual(withoutClock(appfocus.snapshot({ fresh: true }, 5)), withoutClock(appfocus.status()));
  assert.strictEqual(appfocus.start(false), undefined);
  assert.strictEqual(appfocus.snapshot(null).running, true);
  assert.strictEqual(appfocus.stop(true, 'x'), undefined);
  assert.strictEqual(appfocus.status(undefined).running, false);
});

test('start, stop and restart move the epoch; a second start changes nothing', async () => {
  const first = appfocus.snapshot().epoch;
  appfocus.start();
  const started = appfocus.snapshot();
  assert.strictEqual(started.epoch, first + 1);
  assert.strictEqual(started.running, true);
  assert.strictEqual(started.app, null);
  appfocus.start();
  assert.strictEqual(appfocus.snapshot().epoch, first + 1);
  // Nothing is in front of the bare simulated platform.
  await until(() => appfocus.snapshot().reason === 'unavailable', 'unavailable');

  appfocus.stop();
  const stopped = appfocus.snapshot();
  assert.strictEqual(stopped.running, false);
  assert.strictEqual(stopped.reason, 'stopped');
  assert.strictEqual(stopped.changedMs, 0);
  assert.ok(stopped.observedMs > 0, 'observedMs of the last probe is kept');
  assert.strictEqual(stopped.epoch, first + 1);

  appfocus.start();
  assert.strictEqual(appfocus.snapshot().epoch, first + 2);
  appfocus.stop();
  appfocus.stop();
  assert.strictEqual(appfocus.snapshot().reason, 'stopped');
});

test('a resolved app: keys in order, reason null, window handle in lower-case hex', async () => {
  sim.simulate('reset');
  sim.simulate('app', 0x1a2b3c, 4242, 'C:\\Program Files\\Editor\\Editor.EXE');
  sim.start();
  const s = await until(() => { const v = sim.snapshot(); return v.valid && v; }, 'a resolved app');
  assert.deepStrictEqual(Object.keys(s), snapshotKeys);
  assert.strictEqual(s.reason, null);
  assert.strictEqual(s.running, true);
  assert.ok(s.changedMs > 0 && s.changedMs <= s.observedMs && s.observedMs <= s.clockMs);
  assert.deepStrictEqual(Object.keys(s.app), appKeys);
  // Plain data properties, as assignment would make them.
  for (const o of [s, s.app]) {
    assert.strictEqual(Object.getPrototypeOf(o), Object.prototype);
    for (const d of Object.values(Object.getOwnPropertyDescriptors(o))) {
      assert.deepStrictEqual([d.writable, d.enumerable, d.configurable], [true, true, true]);
    }
  }
  assert.deepStrictEqual(s.app, { name: 'Editor', bundleId: '', processId: 4242, windowHandle: '0x1a2b3c' });

  // Non-ASCII names arrive as UTF-8; the largest handle a number can carry.
  sim.simulate('app', 0x1fffffffffffff, 0xfffffff0, 'C:\\x\\\u00c9diteur \u65e5\u672c.exe');
  const t = await until(() => { const v = sim.snapshot(); return v.valid && v.app.processId === 0xfffffff0 && v; }, 'the second app');
  assert.strictEqual(t.app.name, '\u00c9diteur \u65e5\u672c');
  assert.strictEqual(t.app.windowHandle, '0x1fffffffffffff');
  assert.match(t.app.windowHandle, /^0x[1-9a-f][0-9a-f]*$/);
  assert.ok(t.changedMs >= s.observedMs, 'a new app is a change');

  // While a probe is pending there is no app, but the change time stays.
  sim.recheck();
  const pending = sim.snapshot();
  if (pending.reason === 'metadata-pending') {
    assert.strictEqual(pending.app, null);
    assert.strictEqual(pending.valid, false);
    assert.strictEqual(pending.changedMs, t.changedMs);
  }
  await until(() => sim.snapshot().valid, 'the recheck result');
  sim.stop();
  assert.strictEqual(sim.snapshot().app, null);
});

test('a thread that cannot be created leaves a helper-fault record and start retries', () => {
  sim.simulate('reset');
  sim.simulate('failThreadStart');
  const epoch = sim.snapshot().epoch;
  sim.start();
  const s = sim.snapshot();
  assert.deepStrictEqual([s.running, s.valid, s.reason, s.epoch], [false, false, 'helper-fault', epoch + 1]);
  sim.recheck();
  assert.strictEqual(sim.snapshot().reason, 'helper-fault');
  sim.start();
  assert.strictEqual(sim.snapshot().running, true);
  sim.stop();
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
  const during = await new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  assert.strictEqual(during.running, before.running + 1, 'the worker tracker runs');
  const code = await new Promise((resolve) => worker.once('exit', resolve));
  assert.strictEqual(code, 0);
  const after = sim.simulate('threads');
  assert.strictEqual(after.running, before.running);
  assert.strictEqual(after.joined - before.joined, after.started - before.started);
});
