'use strict';
// Prints the cost of one snapshot() call through the real binding: the
// record copy under the lock plus building the JavaScript object, with a
// resolved application (the largest object). Target: under 5 us.
//   node snapshot_bench.js [path/to/appfocus_test.node]
const path = require('node:path');

const modulePath = process.argv[2] || process.env.APPFOCUS_TEST_MODULE ||
  path.join(__dirname, '../../../../../build/linux/bin/appfocus_test.node');
const m = require(modulePath);

function measure(fn, calls) {
  const t0 = process.hrtime.bigint();
  let sink = 0;
  for (let i = 0; i < calls; i++) sink += fn().epoch;
  const ns = Number(process.hrtime.bigint() - t0) / calls;
  if (sink === 0) throw new Error('no snapshots');
  return ns;
}

function median(values) {
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[sorted.length >> 1];
}

async function main() {
  m.simulate('app', 0x1a2b3c, 4242, 'C:\\Program Files\\Editor\\Editor.exe');
  m.start();
  const deadline = Date.now() + 2000;
  while (!m.snapshot().valid) {
    if (Date.now() > deadline) throw new Error('no resolved application');
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  const calls = 200000;
  measure(() => m.snapshot(), calls);  // warm-up
  const resolved = [];
  for (let i = 0; i < 7; i++) resolved.push(measure(() => m.snapshot(), calls));
  m.stop();
  const stopped = [];
  for (let i = 0; i < 7; i++) stopped.push(measure(() => m.snapshot(), calls));
  console.log(`snapshot() with an app: median ${median(resolved).toFixed(0)} ns/call ` +
              `(min ${Math.min(...resolved).toFixed(0)}, 7 runs of ${calls})`);
  console.log(`snapshot() stopped, app null: median ${median(stopped).toFixed(0)} ns/call`);
}

main().catch((e) => { console.error(e); process.exit(1); });
