// keywatch in node.exe under Wine's own wtsapi32: the capture failing closed, the foreground pid. (The objects'
// shapes are the binding's: module.test.mjs on Linux. SendInput seen by a hook: packages-host.test.mjs.)
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, openWindow, sleep, startCapture, stopCapture, waitFor } from './support.mjs';

const kw = createRequire(import.meta.url)(join(binDir, 'keywatch.node'));

test('start runs the worker; Wine cannot report the session state, so the capture never arms', async (t) => {
  // The environment checks want a foreground window before the session query.
  await focus((await openWindow('quillet-wine-front', t)).title);
  const s = startCapture(kw);
  assert.equal(s.running, true, JSON.stringify(s));
  const failed = await waitFor(() => kw.status().failure === 'session-state-unavailable', 2000);
  assert.ok(failed, `failure stayed ${kw.status().failure}`);
  await sleep(300);
  const now = kw.status();
  assert.deepEqual([now.running, now.failure], [true, 'session-state-unavailable']);
  const frames = kw.drain().frames;
  assert.ok(frames.length > 0 && frames.every((f) => f.kind === 'reset'), JSON.stringify(frames));
  assert.equal(frames.at(-1).reason, 'session');

  const stopped = stopCapture(kw);
  assert.ok(stopped.epoch > now.epoch);
  // Wine's WTSUnRegisterSessionNotification is a stub returning FALSE: the teardown names that step.
  assert.deepEqual([stopped.running, stopped.failure], [false, 'session-notification-remove']);
  assert.equal(kw.drain().frames.at(-1).reason, 'shutdown');
});

test('foregroundPid names the process of the focused window', async (t) => {
  const windows = [await openWindow('quillet-wine-fg-a', t), await openWindow('quillet-wine-fg-b', t)];
  assert.notEqual(windows[0].pid, windows[1].pid);
  for (const { title, pid } of windows) {
    await focus(title);
    assert.ok(await waitFor(() => kw.foregroundPid() === pid, 1000), `foreground ${kw.foregroundPid()}, want ${pid}`);
  }
});
