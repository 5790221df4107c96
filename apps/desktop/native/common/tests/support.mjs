// What the module tests share: waiting on the module, its export table, and running it in worker threads.
import assert from 'node:assert/strict';
import { Worker } from 'node:worker_threads';

// Polls fn until it returns a truthy value; that value, or a failure naming what never came (after 20 s: a loaded
// machine under a sanitizer is slow, and a pass never waits that long).
export async function until(fn, what) {
  for (const end = Date.now() + 20000; ; await new Promise((resolve) => setTimeout(resolve, 5))) {
    const value = fn();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
  }
}

// The module's own keys are exactly `names`, in order, each a function the host cannot replace or delete.
export function assertExports(module, names) {
  assert.deepEqual(Reflect.ownKeys(module), names);
  for (const name of names) {
    const d = Object.getOwnPropertyDescriptor(module, name);
    assert.deepEqual([typeof d.value, d.writable, d.enumerable, d.configurable], ['function', false, false, false]);
  }
}

const preamble = `const { parentPort, workerData } = require('node:worker_threads');
  const m = require(workerData);`;

// Runs `body` in a worker with the module at modulePath as m: its first message and its exit code.
export async function inWorker(body, modulePath) {
  const worker = new Worker(preamble + body, { eval: true, workerData: modulePath });
  // Both listeners before any await: a busy parent may get the message and the exit in one turn.
  const exited = new Promise((resolve) => worker.once('exit', resolve));
  const message = await new Promise((resolve, reject) => worker.once('message', resolve).once('error', reject));
  return { message, code: await exited };
}

// Under the sanitizer builds this is the test that matters: four workers run `calls` (with the module as m, an
// odd argument as a and the round as i) for 200 ms, two of them ended mid-call; the other two must exit cleanly.
export async function callFromWorkers(calls, modulePath) {
  const body = `
    const odd = [undefined, null, -1, NaN, 1e308, 'paste', 'x'.repeat(1 << 16), {}, [], Symbol('s'), 10n, () => 0];
    for (let i = 0, end = Date.now() + 200; Date.now() < end || i < 24; i++) {
      const a = odd[i % odd.length];
      ${calls}
      if (i === 0) parentPort.postMessage('calling');
    }`;
  const codes = await Promise.all([0, 1, 2, 3].map((n) => new Promise((resolve, reject) => {
    const worker = new Worker(preamble + body, { eval: true, workerData: modulePath });
    worker.once('error', reject).once('exit', resolve);
    if (n % 2 === 1) worker.once('message', () => worker.terminate());
  })));
  assert.deepEqual([codes[0], codes[2]], [0, 0]);
}
