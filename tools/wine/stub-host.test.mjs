// A host's unit test that stubs a module export, run by node.exe from the
// folder where the packages were installed: a stub put on the object the
// package hands out reaches the code that uses a named import, and no real
// keystroke is sent. A low-level keyboard hook (the Wine helper) watches:
// it sees only the real paste typed after the stub is taken away.
//   QUILLET_WINE_BIN, QUILLET_WINE_WORK, QUILLET_WINE_XDO   as for the other Wine tests
// How the objects print, and stubs of the other exports: package.test.mjs, off Windows.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import keywatch, { sendKeys } from '@quillet/keywatch';

import { keyboardHook } from './support.mjs';

test('a stubbed sendKeys reaches a named import and types nothing; the real one types the paste', async (t) => {
  const real = keywatch.sendKeys;
  t.after(() => {
    keywatch.sendKeys = real;
  });
  const collect = await keyboardHook(8, 2000);
  const calls = [];
  keywatch.sendKeys = (command) => {
    calls.push(command);
    return 'sent';
  };
  assert.equal(sendKeys('paste'), 'sent'); // as the code under test calls it
  assert.deepEqual(calls, ['paste']);
  keywatch.sendKeys = real;
  assert.equal(sendKeys('paste'), 'sent');
  const lines = await collect();
  // Exactly one paste: four events, the real call's.
  assert.equal(lines.length, 4, lines.join(', '));
  assert.deepEqual(lines.slice(1, 3), ['86 down 1', '86 up 1']);
});
