// keywatch in node.exe under Wine's own wtsapi32: the capture failing closed, SendInput, the foreground pid.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, keyboardHook, openWindow, sleep, startCapture, stopCapture, waitFor } from './support.mjs';

const modulePath = join(binDir, 'keywatch.node');
const kw = createRequire(import.meta.url)(modulePath);
const EXPORTS = ['start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys', 'remoteKeysStart', 'remoteKeysStop', 'remoteKeysState'];
const STATUS_KEYS = ['platform', 'accessibility', 'listen', 'running', 'epoch', 'failure'];

test('surface and object shapes before any start', () => {
  for (const name of EXPORTS) assert.equal(typeof kw[name], 'function', name);
  const s = kw.status();
  assert.deepEqual(Object.keys(s), STATUS_KEYS);
  assert.deepEqual(s, { platform: 'win32', accessibility: 'unsupported', listen: 'unsupported', running: false, epoch: 0, failure: null });
  const d = kw.drain();
  assert.deepEqual(Object.keys(d), ['epoch', 'clockMs', 'status', 'frames']);
  assert.equal(typeof d.clockMs, 'number');
  assert.deepEqual(d.frames, []);
  const r = kw.remoteKeysState();
  assert.deepEqual(Object.keys(r), ['active', 'client', 'modifiers', 'other']);
  assert.deepEqual(r, { active: false, client: '', modifiers: [], other: false });
});

test('start runs the worker; Wine cannot report the session state, so the capture never arms', async (t) => {
  // The environment checks want a foreground window before the session query.
  const front = await openWindow('quillet-wine-front');
  t.after(() => front.close());
  await focus(front.title);
  const s = startCapture(kw);
  assert.deepEqual(Object.keys(s), STATUS_KEYS);
  assert.equal(s.running, true, JSON.stringify(s));
  const failed = await waitFor(() => kw.status().failure === 'session-state-unavailable', 2000);
  assert.ok(failed, `failure stayed ${kw.status().failure}`);
  await sleep(300);
  const now = kw.status();
  assert.equal(now.running, true);
  assert.equal(now.failure, 'session-state-unavailable');
  const frames = kw.drain().frames;
  assert.ok(frames.length > 0 && frames.every((f) => f.kind === 'reset'), JSON.stringify(frames));
  assert.equal(frames.at(-1).reason, 'session');

  const stopped = stopCapture(kw);
  assert.equal(stopped.running, false);
  assert.ok(stopped.epoch > now.epoch);
  // Wine's WTSUnRegisterSessionNotification is a stub returning FALSE: the teardown names that step.
  assert.equal(stopped.failure, 'session-notification-remove');
  assert.equal(kw.drain().frames.at(-1).reason, 'shutdown');
});

test('sendKeys paste reaches a low-level hook as four injected events', async () => {
  const collect = await keyboardHook(5, 1500);
  assert.equal(kw.sendKeys('paste'), 'sent');
  const lines = await collect();
  // The generic Control key reaches hooks as 17 under Wine, as 162 on Windows.
  const control = lines[0]?.split(' ')[0];
  assert.ok(control === '17' || control === '162', lines.join(', '));
  assert.deepEqual(lines, [`${control} down 1`, '86 down 1', '86 up 1', `${control} up 1`]);
});

test('foregroundPid names the process of the focused window', async (t) => {
  const windows = [await openWindow('quillet-wine-fg-a'), await openWindow('quillet-wine-fg-b')];
  t.after(() => Promise.all(windows.map((w) => w.close())));
  assert.notEqual(windows[0].pid, windows[1].pid);
  for (const { title, pid } of windows) {
    await focus(title);
    assert.ok(await waitFor(() => kw.foregroundPid() === pid, 1000), `foreground ${kw.foregroundPid()}, want ${pid}`);
  }
});
