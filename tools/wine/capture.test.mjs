// keywatch's capture armed in a real node.exe under Wine: X key events from
// xdotool become WM_INPUT records that the Win32 build reads, times, decodes
// and queues. Wine 8.0 cannot answer the session's connect state, so a
// stand-in wtsapi32.dll is loaded first (see wtsapi32_standin.c); the stage
// script runs this file with WINEDLLOVERRIDES="wtsapi32=n,b".
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { Worker } from 'node:worker_threads';

import { binDir, focus, handleCount, keycode, openWindow, sleep, toolsDir, waitFor, xdo } from './support.mjs';

// keywatch.node's wtsapi32 import binds to this copy once it is loaded.
const standIn = join(toolsDir, 'wtsapi32.dll');
process.dlopen({ exports: {} }, standIn);
const require = createRequire(import.meta.url);
const modulePath = join(binDir, 'keywatch.node');
const kw = require(modulePath);
const probe = require(join(toolsDir, 'quillet-wine-probe.node'));

// A failure the capture may rightly report on a busy machine: no poll
// completed a sampling in the last 100 ms when a record came in.
const STALE = 'input-availability-stale';
const ATTEMPTS = 6;
const pressed = new Set();
let front;

before(async () => {
  // The environment checks need a foreground window, and X keys reach Wine
  // only while one of its windows has the X focus.
  front = await openWindow('quillet-wine-capture');
  await focus(front.title);
});

after(async () => {
  if (pressed.size) await xdo('keyup', ...pressed).catch(() => {});
  kw.stop();
  probe.releaseKeyboard();
  await front?.close();
});

const armed = () => {
  const s = kw.status();
  return s.running && s.failure === null ? s : null;
};

/** A fresh start, armed; the drain taken then (the arming's reset and snapshot). */
async function arm() {
  kw.stop();
  kw.start();
  const got = await waitFor(armed, 10000);
  assert.ok(got, `not armed: ${JSON.stringify(kw.status())}`);
  return kw.drain();
}

async function keys(...steps) {
  const args = [];
  for (const [action, keysym] of steps) {
    const code = keycode(keysym);
    args.push(action, code);
    if (action === 'keydown') pressed.add(code);
  }
  await xdo(...args);
  for (const [action, keysym] of steps) if (action === 'keyup') pressed.delete(keycode(keysym));
}

/**
 * Arms the capture, runs act, and collects the event frames of that epoch
 * until `want` of them came. A round that the capture refused as stale is
 * tried again; any other reset fails the test.
 */
async function round(name, want, act) {
  for (let attempt = 1; ; attempt++) {
    const start = await arm();
    const armedAt = start.frames.find((f) => f.kind === 'snapshot')?.sourceMs ?? start.clockMs;
    await act();
    const frames = [];
    let drained = start;
    const done = await waitFor(() => {
      drained = kw.drain();
      if (drained.epoch !== start.epoch) return 'reset';
      frames.push(...drained.frames);
      return frames.length >= want ? 'complete' : null;
    }, 5000);
    if (done?.value === 'complete') {
      await sleep(100);
      const late = kw.drain();
      assert.equal(late.epoch, start.epoch, `${name}: reset after the keys: ${JSON.stringify(late)}`);
      frames.push(...late.frames);
      return { frames, armedAt, clockMs: late.clockMs, epoch: start.epoch };
    }
    const status = kw.status();
    if (status.failure === STALE && attempt < ATTEMPTS) {
      console.log(`# ${name}: attempt ${attempt} refused as ${STALE}, again`);
      continue;
    }
    assert.fail(`${name}: ${done ? 'reset' : 'time-out'} with ${JSON.stringify(status)}, frames ${JSON.stringify(frames)}`);
  }
}

/** Events in the order queued, sequence numbers going on from the arming's two frames. */
function assertEvents(got, expected) {
  const events = got.frames.map(({ kind, key, down, repeat }) => ({ kind, key, down, repeat }));
  assert.deepEqual(events, expected.map(([key, down]) => ({ kind: 'event', key, down, repeat: false })));
  got.frames.forEach((f, i) => assert.equal(f.sequence, 3 + i));
  // Times come from the real message clock: never before the arming, never
  // going back, never after the drain that returned them.
  let last = got.armedAt;
  for (const f of got.frames) {
    assert.ok(f.sourceMs >= last && f.sourceMs <= got.clockMs, `times ${got.armedAt} ${got.frames.map((x) => x.sourceMs)} ${got.clockMs}`);
    last = f.sourceMs;
  }
}

const withLetter = (keysym) => async () =>
  keys(['keydown', keysym], ['keydown', 'a'], ['keyup', 'a'], ['keyup', keysym]);

test('armed: the status, and a drain of one reset and an empty snapshot in the new epoch', async () => {
  assert.equal(probe.modulePath('wtsapi32.dll').toLowerCase(), standIn.toLowerCase(), 'the stand-in is the wtsapi32 in use');
  kw.stop();
  const started = kw.start();
  assert.equal(started.running, true, JSON.stringify(started));
  const got = await waitFor(armed, 10000);
  assert.ok(got, `not armed: ${JSON.stringify(kw.status())}`);
  console.log(`# armed ${got.ms} ms after start`);
  assert.deepEqual(got.value, { platform: 'win32', accessibility: 'unsupported', listen: 'unsupported', running: true, epoch: got.value.epoch, failure: null });
  assert.ok(got.value.epoch > started.epoch);
  const d = kw.drain();
  assert.equal(d.epoch, got.value.epoch);
  assert.deepEqual(d.status, got.value);
  const [reset, snapshot] = d.frames;
  assert.deepEqual(d.frames, [
    { sequence: 1, sourceMs: reset.sourceMs, kind: 'reset', reason: 'backend' },
    { sequence: 2, sourceMs: reset.sourceMs, kind: 'snapshot', held: [], otherInput: false },
  ]);
  assert.ok(reset.sourceMs <= d.clockMs);
  assert.deepEqual(kw.drain().frames, []);
  assert.equal(kw.start().epoch, d.epoch, 'a start while running changes nothing');
});

test('left Control around a letter gives exactly its four events', async () => {
  const got = await round('Control_L', 4, withLetter('Control_L'));
  assertEvents(got, [['LeftControl', true], ['Other', true], ['Other', false], ['LeftControl', false]]);
});

test('right Control, right Shift, left Alt and left Win decode to their sided names', async () => {
  const cases = [['Control_R', 'RightControl'], ['Shift_R', 'RightShift'], ['Alt_L', 'LeftAlt'], ['Super_L', 'LeftWin']];
  for (const [keysym, key] of cases) {
    const got = await round(keysym, 4, withLetter(keysym));
    assertEvents(got, [[key, true], ['Other', true], ['Other', false], [key, false]]);
  }
});

test('a key held through a start keeps the capture from arming until it is released', async (t) => {
  for (const [keysym, vk] of [['Control_L', 0xA2], ['b', 0x42]]) {
    await t.test(keysym, async () => {
      kw.stop();
      await keys(['keydown', keysym]);
      // X key events reach Wine's key state a little later.
      assert.ok(await waitFor(() => probe.keyDown(vk), 5000), `${keysym} never went down`);
      const started = kw.start();
      assert.equal(started.running, true);
      // The poll samples the key as down every time, so no arming.
      const early = await waitFor(armed, 600);
      assert.equal(early, null, `armed at ${early?.ms} ms with ${keysym} held`);
      assert.equal(kw.status().running, true);
      await keys(['keyup', keysym]);
      const got = await waitFor(armed, 10000);
      assert.ok(got, `not armed after the release: ${JSON.stringify(kw.status())}`);
      // The release reached the window unarmed and was dropped: the arming
      // stands, and its snapshot holds nothing.
      const frames = kw.drain().frames;
      assert.deepEqual(frames.map((f) => f.kind), ['reset', 'snapshot'], JSON.stringify(frames));
      assert.deepEqual([frames[1].held, frames[1].otherInput], [[], false]);
    });
  }
});

test('sendKeys paste while armed: under Wine its injected records carry a device and are captured', async () => {
  // Windows gives injected records no device handle, and the capture
  // refuses them ("raw-device-ambiguous"); the simulation's tests cover that.
  const got = await round('paste', 4, async () => assert.equal(kw.sendKeys('paste'), 'sent'));
  assertEvents(got, [['LeftControl', true], ['Other', true], ['Other', false], ['LeftControl', false]]);
});

test('a second raw input owner in the process: refused at start, and ends a running capture', async () => {
  kw.stop();
  assert.equal(probe.claimKeyboard(), true);
  const refused = kw.start();
  assert.deepEqual([refused.running, refused.failure], [false, 'raw-input-already-owned']);
  assert.deepEqual(probe.registrations().map((r) => r.windowClass), ['QuilletWineProbe']);
  assert.equal(probe.releaseKeyboard(), true);

  await arm();
  assert.equal(probe.claimKeyboard(), true);
  // The poll's ownership check sees the keyboard go elsewhere and ends the worker.
  const ended = await waitFor(() => !kw.status().running, 5000);
  assert.ok(ended, JSON.stringify(kw.status()));
  assert.equal(kw.status().failure, 'raw-input-ownership-lost');
  assert.deepEqual(kw.drain().frames.map((f) => [f.kind, f.reason]), [['reset', 'shutdown']]);
  // The teardown removed only its own mouse registration.
  const left = probe.registrations();
  assert.deepEqual(left.map((r) => [r.usage, r.windowClass]), [[6, 'QuilletWineProbe']]);
  assert.equal(probe.releaseKeyboard(), true);
  await arm();
});

test('stop releases the registrations; 100 start/arm/stop cycles leave no handles, windows or threads', async () => {
  await arm();
  const regs = probe.registrations();
  assert.deepEqual(regs.map((r) => [r.usagePage, r.usage]).sort(), [[1, 2], [1, 6]]);
  for (const r of regs) {
    assert.equal(r.flags & 0x2100, 0x2100, 'input sink and device notices');
    assert.match(r.windowClass, /^QuilletRawInput_/);
  }
  assert.equal(regs[0].windowClass, regs[1].windowClass);
  const running = probe.resources();
  const stopped = kw.stop();
  assert.deepEqual([stopped.running, stopped.failure], [false, null]);
  assert.deepEqual(probe.registrations(), []);

  const handles = handleCount();
  const { threads, windows } = probe.resources();
  // The counters see the capture's own thread and message window.
  assert.deepEqual([running.threads - threads, running.windows - windows], [1, 1]);
  for (let i = 0; i < 100; i++) {
    kw.start();
    assert.ok(await waitFor(armed, 10000), `cycle ${i}: ${JSON.stringify(kw.status())}`);
    const s = kw.stop();
    assert.deepEqual([s.running, s.failure], [false, null], `cycle ${i}`);
  }
  const now = probe.resources();
  const handlesNow = handleCount();
  console.log(`# handles ${handles} -> ${handlesNow}, threads ${threads} -> ${now.threads}, windows ${windows} -> ${now.windows}`);
  assert.deepEqual(probe.registrations(), []);
  assert.ok(handlesNow - handles < 10, `handles grew from ${handles} to ${handlesNow}`);
  assert.ok(now.threads - threads < 3, `threads grew from ${threads} to ${now.threads}`);
  assert.ok(now.windows <= windows, `windows grew from ${windows} to ${now.windows}`);
});

test('tearing down a worker thread environment stops its running capture', async () => {
  kw.stop();
  const { threads } = probe.resources();
  const worker = new Worker(
    `const { parentPort } = require('node:worker_threads');
     const kw = require(${JSON.stringify(modulePath)});
     kw.start();
     const t0 = Date.now();
     const check = () => {
       const s = kw.status();
       if ((s.running && s.failure === null) || Date.now() - t0 > 10000) parentPort.postMessage(s);
       else setTimeout(check, 10);
     };
     check();
     setInterval(() => {}, 1000); // runs until terminated`,
    { eval: true });
  const exited = new Promise((r) => worker.once('exit', r));
  const status = await new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  assert.deepEqual([status.running, status.failure], [true, null], JSON.stringify(status));
  assert.equal(probe.registrations().length, 2);
  await worker.terminate();
  await exited;
  assert.deepEqual(probe.registrations(), []);
  assert.ok(probe.resources().threads <= threads + 1, 'the capture thread ended');
  await arm(); // raw input is free for this environment again
});
