// The remote-keys monitor under Wine: the helper copied as mstsc.exe is the client; xdotool holds real keys.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { copyFileSync, mkdtempSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, helperExe, keys, openWindow, releaseKeys, sleep, waitFor, workDir } from './support.mjs';

const kw = createRequire(import.meta.url)(join(binDir, 'keywatch.node'));
const state = () => kw.remoteKeysState();
const idle = { active: false, client: '', modifiers: [], other: false };
const active = (modifiers, other) => ({ active: true, client: 'mstsc', modifiers, other });
/** Waits up to ms for the monitor to report want; how long it took. */
async function expectState(want, ms) {
  const got = await waitFor(() => JSON.stringify(state()) === JSON.stringify(want), ms);
  assert.ok(got, `want ${JSON.stringify(want)}, have ${JSON.stringify(state())}`);
  return got.ms;
}

test('held keys are followed while the client is in front, and cleared when it leaves', async (t) => {
  const clientExe = join(mkdtempSync(join(workDir, 'client-')), 'mstsc.exe');
  copyFileSync(helperExe, clientExe);
  const client = await openWindow('quillet-wine-client', t, clientExe);
  const other = await openWindow('quillet-wine-other', t);
  t.after(() => kw.remoteKeysStop());
  t.after(releaseKeys);

  await focus(other.title);
  kw.remoteKeysStart();

  await focus(client.title);
  await expectState(active([], false), 1000);
  await keys(['keydown', 'Control_L'], ['keydown', 'Shift_R']);
  await expectState(active([162, 161], false), 500);
  await keys(['keydown', 'a']);
  await expectState(active([162, 161], true), 500);
  await keys(['keyup', 'a'], ['keyup', 'Shift_R']);
  await expectState(active([162], false), 500);

  // Injected keystrokes are skipped by the monitor's hook.
  assert.equal(kw.sendKeys('paste'), 'sent');
  await sleep(100);
  assert.deepEqual(state(), active([162], false));

  // Another window in front: inactive and cleared, with Control still held.
  await focus(other.title);
  const left = await expectState(idle, 1000);
  console.log(`# inactive ${left} ms after the focus change`);
  assert.ok(left <= 400, `took ${left} ms`);
  await keys(['keyup', 'Control_L']);

  kw.remoteKeysStop();
  await focus(client.title);
  await sleep(400);
  assert.deepEqual(state(), idle);
});
