#!/usr/bin/env node
// The engine against whisper-cli built in Release from the unpatched pinned
// source, on the same model, audio, threads and audio context, interleaved
// in rounds so that a change in the machine's load hits both alike.
//
//   node side_by_side.mjs --engine PATH --cli PATH [--rounds N] [--threads N]
//
// Per case and round, each side runs as one process that starts, loads and
// transcribes the file once, and as one that transcribes it 1 + K times
// (whisper-cli given the same file 1 + K times). It prints the median and
// spread of the per-round ratio engine/cli of:
//   one-shot: the wall time of the process with one transcription;
//   steady:   the marginal cost of a further transcription in a warm process,
//             (wall(1 + K) - wall(1)) / K, which leaves out starting and
//             loading on both sides alike.
// It prints figures; it is not a test.
import { parseArgs } from 'node:util';

import { startEngine } from '../client/engine-client.mjs';
import { readWav } from '../client/wav.mjs';
import { benchCases, cliArgs, fmt, loadAverage, loadOptions, median, runProcess } from './common.mjs';

const EXTRA = 10; // K: the transcriptions after the first

/** A whole engine process: start, load, `times` transcriptions, close. */
async function engineRun(enginePath, c, samples, threads, times) {
  const t0 = performance.now();
  const engine = await startEngine({ enginePath, stderr: 'ignore' });
  try {
    await engine.load(loadOptions(c, threads));
    for (let i = 0; i < times; i++) await engine.transcribe({ language: 'en', samples });
  } finally {
    await engine.close();
  }
  return performance.now() - t0;
}

async function cliRun(cli, c, threads, times) {
  return (await runProcess(cli, cliArgs(c, threads, times))).ms;
}

function printRatios(label, engineMs, cliMs) {
  const ratios = engineMs.map((e, i) => e / cliMs[i]);
  console.log(
    `${label.padEnd(46)} engine ${fmt(median(engineMs), 1)} ms  cli ${fmt(median(cliMs), 1)} ms  ` +
      `ratio min ${fmt(Math.min(...ratios), 3)} median ${fmt(median(ratios), 3)} max ${fmt(Math.max(...ratios), 3)}`,
  );
}

async function sideBySide(opts, c) {
  const { samples } = await readWav(c.wav);
  const one = { engine: [], cli: [] };
  const steady = { engine: [], cli: [] };
  console.log(`== ${c.name}: ${opts.rounds} rounds, ${opts.threads} thread${opts.threads > 1 ? 's' : ''}, ` +
    `audio context ${c.audioCtx || 'full'}` +
    `  (${loadAverage()})`);
  // One warm-up of each so that the first round does not pay for cold caches.
  await cliRun(opts.cli, c, opts.threads, 1);
  await engineRun(opts.engine, c, samples, opts.threads, 1);
  for (let r = 0; r < opts.rounds; r++) {
    const run = { engine: {}, cli: {} };
    // Alternate which side goes first, so neither always follows the other.
    const sides = r % 2 ? ['cli', 'engine'] : ['engine', 'cli'];
    for (const times of [1, 1 + EXTRA]) {
      for (const side of sides) {
        run[side][times] = side === 'engine'
          ? await engineRun(opts.engine, c, samples, opts.threads, times)
          : await cliRun(opts.cli, c, opts.threads, times);
      }
    }
    for (const side of sides) {
      one[side].push(run[side][1]);
      steady[side].push((run[side][1 + EXTRA] - run[side][1]) / EXTRA);
    }
  }
  printRatios('one transcription per process', one.engine, one.cli);
  printRatios(`steady state (marginal, ${EXTRA} more per process)`, steady.engine, steady.cli);
  console.log(`(${loadAverage()})`);
}

async function main() {
  const { values } = parseArgs({
    options: {
      engine: { type: 'string' },
      cli: { type: 'string' },
      rounds: { type: 'string', default: '5' },
      threads: { type: 'string', default: '1' },
    },
  });
  if (!values.engine || !values.cli) throw new Error('usage: side_by_side.mjs --engine PATH --cli PATH');
  const { engine, cli } = values;
  const opts = { engine, cli, rounds: Number(values.rounds), threads: Number(values.threads) };
  for (const c of benchCases()) await sideBySide(opts, c);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
