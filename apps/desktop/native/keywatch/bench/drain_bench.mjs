// Times drain() of a full 256-frame queue through the real binding,
// building every JS object. For scale on a busy or slow machine it also times
// plain JS building the same 256 objects. Usage:
//   node drain_bench.mjs <keywatch_test.node>
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const kt = require(process.argv[2] ?? process.env.KEYWATCH_TEST_MODULE);
const rounds = 5000;
const warmup = 500;

function summary(samples) {
    samples.sort((a, b) => a - b);
    const at = (q) => (samples[Math.min(samples.length - 1, Math.floor(q * samples.length))] / 1000).toFixed(1);
    return `min ${at(0)} us, median ${at(0.5)} us, p90 ${at(0.9)} us`;
}

const drainSamples = [];
for (let r = 0; r < rounds + warmup; r++) {
    kt.testing.arm();
    kt.drain();
    kt.testing.fill(256);
    const start = process.hrtime.bigint();
    const d = kt.drain();
    const ns = Number(process.hrtime.bigint() - start);
    if (d.frames.length !== 256) throw new Error(`expected 256 frames, got ${d.frames.length}`);
    if (r >= warmup) drainSamples.push(ns); // the first rounds warm up the JIT and the heap
}

const keys = ['LeftControl', 'RightControl'];
const plainSamples = [];
const kept = new Array(16); // results stay reachable, as a host's would
let sink = 0;
for (let r = 0; r < rounds + warmup; r++) {
    const start = process.hrtime.bigint();
    const frames = new Array(256);
    for (let i = 0; i < 256; i++) {
        frames[i] = { sequence: i + 1, sourceMs: 1000.25 + i, kind: 'event', key: keys[i & 1], down: (i & 1) === 0, repeat: false };
    }
    const d = { epoch: r, clockMs: 1.5, status: { platform: 'win32', accessibility: 'unsupported', listen: 'unsupported', running: true, epoch: r, failure: null }, frames };
    const ns = Number(process.hrtime.bigint() - start);
    kept[r & 15] = d;
    sink += d.frames.length;
    if (r >= warmup) plainSamples.push(ns);
}

console.log(`drain() of 256 frames, JS objects included: ${summary(drainSamples)} (${rounds} drains, node ${process.version})`);
console.log(`plain JS building the same objects:        ${summary(plainSamples)} (reference, ${sink > 0 ? 'same machine' : ''})`);
