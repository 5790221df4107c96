// Times drain() of a full 256-frame queue through the real binding,
// building every JS object. Usage: node drain_bench.mjs <keywatch_test.node>
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const kt = require(process.argv[2] ?? process.env.KEYWATCH_TEST_MODULE);
const rounds = 5000;
const samples = [];

for (let r = 0; r < rounds + 500; r++) {
    kt.testing.arm();
    kt.drain();
    kt.testing.fill(256);
    const start = process.hrtime.bigint();
    const d = kt.drain();
    const ns = Number(process.hrtime.bigint() - start);
    if (d.frames.length !== 256) throw new Error(`expected 256 frames, got ${d.frames.length}`);
    if (r >= 500) samples.push(ns); // the first rounds warm up the JIT and the heap
}
samples.sort((a, b) => a - b);
const pick = (q) => samples[Math.min(samples.length - 1, Math.floor(q * samples.length))] / 1000;
const mean = samples.reduce((a, b) => a + b, 0) / samples.length / 1000;
console.log(`drain() of 256 frames with JS objects: median ${pick(0.5).toFixed(1)} us, ` +
    `p90 ${pick(0.9).toFixed(1)} us, p99 ${pick(0.99).toFixed(1)} us, mean ${mean.toFixed(1)} us ` +
    `(${samples.length} drains, node ${process.version})`);
