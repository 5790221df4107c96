// keywatch's capture armed in node.exe under Wine: xdotool's X keys become WM_INPUT records the Win32 build
// reads. Wine 8.0 cannot answer the session's connect state: a stand-in wtsapi32.dll (wtsapi32=n,b) does.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import {
  binDir, focus, handleCount, keys, openWindow, releaseKeys, sleep, startCapture, stopCapture, toolsDir, waitFor,
} from './support.mjs';

// keywatch.node's wtsapi32 import binds to this copy once it is loaded.
const standIn = join(toolsDir, 'wtsapi32.dll');
try {
  process.dlopen({ exports: {} }, standIn);
} catch (e) {
  // Without the override Wine loads its builtin instead, which registers nothing.
  throw new Error(`the stand-in wtsapi32.dll did not load (WINEDLLOVERRIDES="wtsapi32=n,b"?): ${e.message}`);
}
const require = createRequire(import.meta.url);
const kw = require(join(binDir, 'keywatch.node'));
const probe = require(join(toolsDir, 'quillet-wine-probe.node'));

// Refusals a round is tried again for: a busy machine rightly makes samplings stale, and Wine's key state
// cache keeps a key "up" for up to 50 ms, so two samplings 25 ms apart can miss a fresh press.
const RETRIED = ['input-availability-stale', 'polling-mismatch'];
// Two samplings of at most 20 ms each can take seconds on a loaded machine: long waits, within the stage's limit.
const ARM_MS = 30000;
const deadline = Date.now() + 240000;
let front;

before(async () => {
  // The environment checks need a foreground window; X keys reach Wine only while one of its windows has focus.
  front = await openWindow('quillet-wine-capture');
  await focus(front.title);
});

after(async () => {
  await releaseKeys();
  stopCapture(kw);
  probe.releaseKeyboard();
  await front?.close();
});

const armed = () => {
  const s = kw.status();
  return s.running && s.failure === null ? s : null;
};

/** A fresh start, armed: the drain taken then (the arming's reset and snapshot), the start's status, the wait. */
async function arm() {
  stopCapture(kw);
  const started = startCapture(kw);
  const got = await waitFor(armed, ARM_MS);
  assert.ok(got, `not armed: ${JSON.stringify(kw.status())} after a start with ${JSON.stringify(started)}`);
  return { ...kw.drain(), started, got };
}

/** Arms, runs act and collects that epoch's events until `want` came; a RETRIED refusal runs it again. */
async function round(name, want, act) {
  for (let attempt = 1; ; attempt++) {
    const start = await arm();
    const armedAt = start.frames.find((f) => f.kind === 'snapshot')?.sourceMs ?? start.clockMs;
    // Drained all along, so that a reset is seen with its failure before the capture re-arms.
    const frames = [];
    let reset = null;
    const collect = () => {
      if (reset) return;
      const drained = kw.drain();
      if (drained.epoch !== start.epoch) reset = drained;
      else frames.push(...drained.frames);
    };
    const collector = setInterval(collect, 5);
    let done;
    try {
      await act();
      done = await waitFor(() => {
        collect();
        return reset ? 'reset' : frames.length >= want ? 'complete' : null;
      }, 15000);
      if (done?.value === 'complete') await sleep(100);
      collect();
    } finally {
      clearInterval(collector);
    }
    if (!reset && done) return { frames, armedAt, clockMs: kw.drain().clockMs, epoch: start.epoch };
    const failure = reset?.status.failure;
    // A capture that re-armed between two drains hides why it reset.
    const unseen = failure === null && reset.frames.some((f) => f.kind === 'snapshot');
    if ((RETRIED.includes(failure) || unseen) && Date.now() < deadline) {
      console.log(`# ${name}: attempt ${attempt} refused as ${unseen ? 'unseen (re-armed at once)' : failure}, again`);
      continue;
    }
    assert.fail(`${name}: ${reset ? 'reset' : 'time-out'} with ${JSON.stringify(reset ?? kw.status())} after ${JSON.stringify(frames)}`);
  }
}

/** Events in the order queued, sequence numbers going on from the arming's two frames. */
function assertEvents(got, expected) {
  const events = got.frames.map(({ sequence, kind, key, down, repeat }) => ({ sequence, kind, key, down, repeat }));
  assert.deepEqual(events,
    expected.map(([key, down], i) => ({ sequence: 3 + i, kind: 'event', key, down, repeat: false })));
  // Real message-clock times: not before the arming, never going back, not after the drain.
  const times = [got.armedAt, ...got.frames.map((f) => f.sourceMs), got.clockMs];
  assert.ok(times.every((ms, i) => i === 0 || ms >= times[i - 1]), `times ${times}`);
}

const withLetter = (keysym) => async () =>
  keys(['keydown', keysym], ['keydown', 'a'], ['keyup', 'a'], ['keyup', keysym]);

// The status and drain records themselves are the binding's: module.test.mjs on Linux.
test('armed: a drain of one reset and an empty snapshot at one message-clock time, in a new epoch', async () => {
  assert.equal(probe.modulePath('wtsapi32.dll').toLowerCase(), standIn.toLowerCase(), 'the stand-in is the wtsapi32 in use');
  const { started, got, ...d } = await arm();
  console.log(`# armed ${got.ms} ms after start`);
  assert.ok(got.value.epoch > started.epoch);
  const [reset] = d.frames;
  assert.deepEqual(d.frames, [
    { sequence: 1, sourceMs: reset.sourceMs, kind: 'reset', reason: 'backend' },
    { sequence: 2, sourceMs: reset.sourceMs, kind: 'snapshot', held: [], otherInput: false },
  ]);
  assert.ok(reset.sourceMs <= d.clockMs);
});

test('a modifier around a letter gives exactly its four events, with its sided name', async () => {
  const cases = [['Control_L', 'LeftControl'], ['Control_R', 'RightControl'], ['Shift_R', 'RightShift'],
    ['Alt_L', 'LeftAlt'], ['Super_L', 'LeftWin']];
  for (const [keysym, key] of cases) {
    const got = await round(keysym, 4, withLetter(keysym));
    assertEvents(got, [[key, true], ['Other', true], ['Other', false], [key, false]]);
  }
});

test('a key held through a start keeps the capture from arming until it is released', async (t) => {
  for (const [keysym, vk] of [['Control_L', 0xA2], ['b', 0x42]]) {
    await t.test(keysym, async () => {
      stopCapture(kw);
      await keys(['keydown', keysym]);
      assert.ok(await waitFor(() => probe.keyDown(vk), 15000), `${keysym} never went down`);
      // As on Windows, the generic code is down with the sided one: not another key for the poll.
      if (vk === 0xA2) assert.equal(probe.keyDown(0x11), true, 'VK_CONTROL with VK_LCONTROL');
      const started = startCapture(kw);
      assert.equal(started.running, true, JSON.stringify(started));
      const early = await waitFor(armed, 600);
      assert.equal(early, null, `armed at ${early?.ms} ms with ${keysym} held`);
      assert.equal(kw.status().running, true);
      await keys(['keyup', keysym]);
      const got = await waitFor(armed, ARM_MS);
      assert.ok(got, `not armed after the release: ${JSON.stringify(kw.status())}`);
      // The release came unarmed and was dropped: the snapshot holds nothing.
      const frames = kw.drain().frames;
      assert.deepEqual(frames.map((f) => f.kind), ['reset', 'snapshot'], JSON.stringify(frames));
      assert.deepEqual([frames[1].held, frames[1].otherInput], [[], false]);
    });
  }
});

test('sendKeys paste while armed: under Wine its injected records carry a device and are captured', async () => {
  // Windows gives them no device handle and the capture refuses them (Worker.InjectedKeys*).
  const got = await round('paste', 4, async () => assert.equal(kw.sendKeys('paste'), 'sent'));
  assertEvents(got, [['LeftControl', true], ['Other', true], ['Other', false], ['LeftControl', false]]);
});

test('a second raw input owner in the process: refused at start, and ends a running capture', async (t) => {
  t.after(() => probe.releaseKeyboard());
  stopCapture(kw);
  assert.equal(probe.claimKeyboard(), true);
  const refused = startCapture(kw);
  assert.deepEqual([refused.running, refused.failure], [false, 'raw-input-already-owned']);
  assert.deepEqual(probe.registrations().map((r) => r.windowClass), ['QuilletWineProbe']);
  assert.equal(probe.releaseKeyboard(), true);

  await arm();
  assert.equal(probe.claimKeyboard(), true);
  // The poll's ownership check sees the keyboard go elsewhere and ends the worker.
  assert.ok(await waitFor(() => !kw.status().running, ARM_MS), JSON.stringify(kw.status()));
  assert.equal(kw.status().failure, 'raw-input-ownership-lost');
  assert.deepEqual(kw.drain().frames.map((f) => [f.kind, f.reason]), [['reset', 'shutdown']]);
  // The teardown removed only its own mouse registration.
  assert.deepEqual(probe.registrations().map((r) => [r.usage, r.windowClass]), [[6, 'QuilletWineProbe']]);
  assert.equal(probe.releaseKeyboard(), true);
  await arm();
});

test('stop releases the registrations; start/arm/stop cycles leave no handles, windows or threads', async () => {
  await arm();
  const regs = probe.registrations();
  assert.deepEqual(regs.map((r) => [r.usagePage, r.usage]).sort(), [[1, 2], [1, 6]]);
  assert.deepEqual(regs.map((r) => r.flags & 0x2100), [0x2100, 0x2100], 'input sink and device notices');
  assert.match(regs[0].windowClass, /^QuilletRawInput_/);
  assert.equal(regs[1].windowClass, regs[0].windowClass);
  const running = probe.resources();
  const stopped = stopCapture(kw);
  assert.deepEqual([stopped.running, stopped.failure], [false, null]);
  assert.deepEqual(probe.registrations(), []);

  const handles = handleCount();
  const { threads, windows } = probe.resources();
  // The counters see the capture's own thread and message window.
  assert.deepEqual([running.threads - threads, running.windows - windows], [1, 1]);
  // 100 cycles, or as many as a minute allows (at least 20, where a handle a cycle shows).
  const t0 = Date.now();
  let cycles = 0;
  while (cycles < 100 && (cycles < 20 || (Date.now() - t0 < 60000 && Date.now() < deadline))) {
    startCapture(kw);
    assert.ok(await waitFor(armed, ARM_MS), `cycle ${cycles}: ${JSON.stringify(kw.status())}`);
    const s = stopCapture(kw);
    // No failure, unless stop's own wait ran out on a loaded machine (logged by stopCapture).
    assert.ok(!s.running && [null, 'shutdown-timeout'].includes(s.failure), `cycle ${cycles}: ${JSON.stringify(s)}`);
    cycles++;
  }
  const now = probe.resources();
  const handlesNow = handleCount();
  console.log(`# ${cycles} cycles in ${Date.now() - t0} ms: handles ${handles} -> ${handlesNow}, threads ${threads} -> ${now.threads}, windows ${windows} -> ${now.windows}`);
  assert.deepEqual(probe.registrations(), []);
  assert.ok(handlesNow - handles < 10, `handles grew from ${handles} to ${handlesNow}`);
  assert.ok(now.threads - threads < 3, `threads grew from ${threads} to ${now.threads}`);
  assert.ok(now.windows <= windows, `windows grew from ${windows} to ${now.windows}`);
});
