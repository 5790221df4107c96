// appfocus in node.exe under Wine, which never sends the foreground event: the 500 ms poll finds each change.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { test } from 'node:test';

import { binDir, focus, openWindow, waitFor } from './support.mjs';

const af = createRequire(import.meta.url)(join(binDir, 'appfocus.node'));
/** Waits for a valid snapshot naming the process pid; it and how long that took. */
async function onProcess(pid) {
  const got = await waitFor(() => { const s = af.snapshot(); return s.valid && s.app.processId === pid && s; }, 1500);
  assert.ok(got, `not pid ${pid}: ${JSON.stringify(af.snapshot())}`);
  return got;
}

test('the foreground application through start, focus changes, close, stop and restart', async (t) => {
  const notepad = spawn('notepad.exe', [], { stdio: 'ignore' });
  const notepadExit = new Promise((r) => notepad.on('exit', r));
  const helper = await openWindow('quillet-wine-focus', t);
  t.after(() => {
    af.stop();
    if (notepad.exitCode === null) notepad.kill();
  });

  af.start();
  assert.deepEqual([af.snapshot().running, af.snapshot().epoch], [true, 2]);

  await focus('Untitled - Notepad');
  const onNotepad = await onProcess(notepad.pid);
  console.log(`# notepad resolved ${onNotepad.ms} ms after the focus change`);
  assert.ok(onNotepad.ms <= 700, `took ${onNotepad.ms} ms`);
  const s = onNotepad.value;
  assert.equal(s.app.name, 'notepad');
  assert.match(s.app.windowHandle, /^0x[1-9a-f][0-9a-f]*$/);

  // A window whose handle is known: the snapshot must name exactly it.
  await focus(helper.title);
  const onHelper = await onProcess(helper.pid);
  assert.deepEqual([onHelper.value.app.name, onHelper.value.app.windowHandle], ['quillet-wine-helper', helper.handle]);
  assert.ok(onHelper.value.changedMs > s.changedMs);

  // Back on notepad, then close it: no longer notepad.
  await focus('Untitled - Notepad');
  await onProcess(notepad.pid);
  notepad.kill();
  await notepadExit;
  const gone = await waitFor(() => {
    const g = af.snapshot();
    return g.app?.processId !== notepad.pid && g.reason !== 'metadata-pending' && g;
  }, 1500);
  assert.ok(gone, `still notepad: ${JSON.stringify(af.snapshot())}`);
  assert.ok(gone.value.valid ? gone.value.app.processId > 0 : gone.value.reason === 'unavailable', JSON.stringify(gone.value));

  af.stop(); // the stopped record itself: module.test.mjs on Linux
  af.stop(); // stop twice is harmless

  af.start();
  af.start(); // a start while running starts nothing
  assert.equal(af.snapshot().epoch, 3);
  await focus(helper.title);
  await onProcess(helper.pid);
  af.stop();
  assert.equal(af.status().reason, 'stopped');
});
