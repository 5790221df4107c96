// The remote-keys monitor under Wine: the helper copied as mstsc.exe is the client; xdotool holds real keys.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { copyFileSync, mkdtempSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, helperExe, keycode, openWindow, sleep, waitFor, workDir, xdo } from './support.mjs';

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
  const client = await openWindow('quillet-wine-client', clientExe);
  const other = await openWindow('quillet-wine-other');
  const held = [];
  t.after(async () => {
    if (held.length) await xdo(...held.flatMap((c) => ['keyup', c])).catch(() => {});
    kw.remoteKeysStop();
    await client.close();
    await other.close();
  });
  // xdotool's keydown or keyup of each key; what is held is released at the end whatever fails.
  const press = async (action, ...keys) => {
    const codes = keys.map(keycode);
    await xdo(...codes.flatMap((c) => [action, c]));
    if (action === 'keydown') held.push(...codes);
    else codes.forEach((c) => held.splice(held.indexOf(c), 1));
  };

  await focus(other.title);
  kw.remoteKeysStart();
  kw.remoteKeysStart(); // a second start keeps the one monitor
  await sleep(300);
  assert.deepEqual(state(), idle);

  await focus(client.title);
  await expectState(active([], false), 1000);
  await press('keydown', 'Control_L', 'Shift_R');
  await expectState(active([162, 161], false), 500);
  await press('keydown', 'a');
  await expectState(active([162, 161], true), 500);
  await press('keyup', 'a', 'Shift_R');
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
  await press('keyup', 'Control_L');

  kw.remoteKeysStop();
  await focus(client.title);
  await sleep(400);
  assert.deepEqual(state(), idle);
  kw.remoteKeysStop(); // a stop without a monitor does nothing
});
