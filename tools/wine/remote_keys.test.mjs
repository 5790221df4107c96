// The remote-keys monitor under Wine: a copy of the helper window program
// named mstsc.exe stands in for the remote-desktop client, and xdotool holds
// real (not injected) keys while it is in front.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { copyFileSync, mkdtempSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, helperExe, keycode, openWindow, sleep, waitFor, workDir, xdo } from './support.mjs';

const kw = createRequire(import.meta.url)(join(binDir, 'keywatch.node'));
const state = () => kw.remoteKeysState();
const same = (...wants) => () => wants.some((want) => JSON.stringify(state()) === JSON.stringify(want));

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
  // By keycode: xdotool sends a modifier keysym such as Shift_R through the
  // X modifier map, which presses Shift_L first.
  const down = async (...keys) => {
    const codes = keys.map(keycode);
    await xdo(...codes.flatMap((c) => ['keydown', c]));
    held.push(...codes);
  };
  const up = async (...keys) => {
    const codes = keys.map(keycode);
    await xdo(...codes.flatMap((c) => ['keyup', c]));
    codes.forEach((c) => held.splice(held.indexOf(c), 1));
  };

  await focus(other.title);
  kw.remoteKeysStart();
  kw.remoteKeysStart(); // a second start keeps the one monitor
  await sleep(300);
  assert.deepEqual(state(), { active: false, client: '', modifiers: [], other: false });

  await focus(client.title);
  const active = await waitFor(same({ active: true, client: 'mstsc', modifiers: [], other: false }), 1000);
  assert.ok(active, `not active: ${JSON.stringify(state())}`);

  await down('Control_L', 'Shift_R');
  assert.ok(await waitFor(same({ active: true, client: 'mstsc', modifiers: [162, 161], other: false }), 500),
    JSON.stringify(state()));
  await down('a');
  assert.ok(await waitFor(same({ active: true, client: 'mstsc', modifiers: [162, 161], other: true }), 500),
    JSON.stringify(state()));
  await up('a', 'Shift_R');
  assert.ok(await waitFor(same({ active: true, client: 'mstsc', modifiers: [162], other: false }), 500),
    JSON.stringify(state()));

  // Injected keystrokes are skipped by the monitor's hook.
  assert.equal(kw.sendKeys('paste'), 'sent');
  await sleep(100);
  assert.deepEqual(state(), { active: true, client: 'mstsc', modifiers: [162], other: false });

  // Another window in front: inactive and cleared, with Control still held.
  await focus(other.title);
  const left = await waitFor(same({ active: false, client: '', modifiers: [], other: false }), 1000);
  assert.ok(left, `still active: ${JSON.stringify(state())}`);
  console.log(`# inactive ${left.ms} ms after the focus change`);
  assert.ok(left.ms <= 400, `took ${left.ms} ms`);
  await up('Control_L');

  kw.remoteKeysStop();
  await focus(client.title);
  await sleep(400);
  assert.deepEqual(state(), { active: false, client: '', modifiers: [], other: false });
  kw.remoteKeysStop(); // a stop without a monitor does nothing
});
