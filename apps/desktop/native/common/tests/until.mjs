import assert from 'node:assert/strict';

// Polls fn until it returns a truthy value; that value, or a failure naming what never came.
export async function until(fn, what) {
  for (const end = Date.now() + 5000; ; await new Promise((resolve) => setTimeout(resolve, 5))) {
    const value = fn();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
  }
}
