#!/usr/bin/env node
// Dictation latency when other programs keep the cores busy: each case at
// each thread count, quiet and beside one and two shell busy loops, medians
// of --runs dictations with half a second of idle before each (a user pauses
// between dictations), the sides interleaved so that a change in the
// machine's load hits them alike:
//   engine     the engine as built (its CPU backend patched);
//   unpatched  the same engine beside the CPU backend of the unpatched source
//              (--unpatched), on the quiet lines only: the patch's cost there;
//   cli        whisper-cli built from the unpatched source (--cli), one
//              process per dictation, timed by the library time it prints;
//              it starts each dictation just after loading its model, not
//              from idle, so engine/unpatched is the fairer measure of what
//              the patch costs on a quiet machine.
//
//   node contention.mjs --engine PATH [--engine-prefix CMD] [--unpatched PATH]
//                       [--cli PATH] [--threads 1,2] [--loops 0,1,2]
//                       [--runs 10] [--budget-s 30] [--cases NAME,...]
//
// Each engine is one process per case and thread count, loaded once. A side
// that has spent --budget-s on one line stops there once it has 3 runs (the
// unpatched library at 2 threads beside busy loops can take seconds a run);
// the line says how many it took. Columns: each side's median in ms with its
// slowest run in brackets, the engine's median against the others', and each
// side's median against its own quiet 1-thread median.
// --engine-prefix runs the engines under a command (wine for the Windows
// build). It prints figures; it is not a test.
import path from 'node:path';
import { parseArgs } from 'node:util';

import { startEngine } from '../client/engine-client.mjs';
import { readWav } from '../client/wav.mjs';
import {
  benchCases, cliArgs, cliLibraryMs, loadAverage, loadOptions, median, runProcess, sleep, startBusyLoops,
  stopBusyLoops,
} from './common.mjs';

const IDLE_MS = 500;

const list = (s) => s.split(',').map(Number);
const loopsLabel = (n) => (n === 0 ? 'quiet' : `${n} busy loop${n > 1 ? 's' : ''}`);

async function engineFor(opts, enginePath, c, threads) {
  const start = opts.prefix.length
    ? { enginePath: opts.prefix[0], extraArgs: [...opts.prefix.slice(1), enginePath] }
    : { enginePath };
  const engine = await startEngine({ ...start, stderr: 'ignore', helloTimeoutMs: 120000 });
  await engine.load(loadOptions(c, threads));
  return engine;
}

/** The sides measured for a case: name, whether it runs beside busy loops, and how one dictation is timed. */
async function sidesFor(opts, c, samples) {
  const sides = [];
  const engineSide = async (name, enginePath, quietOnly) => {
    const engines = new Map();
    for (const threads of opts.threads) {
      const engine = await engineFor(opts, enginePath, c, threads);
      engines.set(threads, engine);
      await engine.transcribe({ language: 'en', samples }); // first-use costs
    }
    sides.push({
      name, quietOnly, close: () => Promise.all([...engines.values()].map((e) => e.close())),
      dictation: async (threads) => {
        const t0 = performance.now();
        await engines.get(threads).transcribe({ language: 'en', samples });
        return performance.now() - t0;
      },
    });
  };
  await engineSide('engine', opts.engine, false);
  if (opts.unpatched) await engineSide('unpatched', opts.unpatched, true);
  if (opts.cli) {
    const dictation = async (threads) => cliLibraryMs((await runProcess(opts.cli, cliArgs(c, threads))).out);
    for (const threads of opts.threads) await dictation(threads);
    sides.push({ name: 'cli', quietOnly: false, close: async () => {}, dictation });
  }
  return sides;
}

/** Interleaved runs of every side on one line; alternates the order so that none always follows another. */
async function measureLine(opts, sides, threads) {
  const times = new Map(sides.map((s) => [s, []]));
  const spent = new Map(sides.map((s) => [s, 0]));
  const more = (s) => times.get(s).length < opts.runs && (times.get(s).length < 3 || spent.get(s) < opts.budgetMs);
  for (let i = 0; sides.some(more); i++) {
    const order = i % 2 ? [...sides].reverse() : sides;
    for (const s of order.filter(more)) {
      await sleep(IDLE_MS);
      const ms = await s.dictation(threads);
      times.get(s).push(ms);
      spent.set(s, spent.get(s) + IDLE_MS + ms);
    }
  }
  return times;
}

function printTable(opts, sides, lines) {
  const cell = (xs) => (xs?.length
    ? `${median(xs).toFixed(1)} [${Math.max(...xs).toFixed(0)}]${xs.length < opts.runs ? ` n=${xs.length}` : ''}`
    : '');
  const ratio = (a, b, digits) => (a?.length && b?.length ? (median(a) / median(b)).toFixed(digits) : '');
  const base = lines.find((l) => l.threads === 1 && l.loops === 0);
  const [engine, ...others] = sides;
  const header = ['threads', 'beside', ...sides.map((s) => `${s.name} ms [max]`),
    ...others.map((s) => `engine/${s.name}`), ...sides.map((s) => `${s.name}/quiet 1t`)];
  const rows = lines.map((l) => [String(l.threads), loopsLabel(l.loops), ...sides.map((s) => cell(l.times.get(s))),
    ...others.map((s) => ratio(l.times.get(engine), l.times.get(s), 3)),
    ...sides.map((s) => ratio(l.times.get(s), base?.times.get(s), 2))]);
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)) + 2);
  for (const r of [header, ...rows]) {
    console.log(r.map((col, i) => (i < 2 ? col.padEnd(widths[i]) : col.padStart(widths[i]))).join('').trimEnd());
  }
}

async function contention(opts, c) {
  const { samples } = await readWav(c.wav);
  console.log(`== ${c.name}: ${path.basename(c.wav)}, medians of ${opts.runs}, ${IDLE_MS} ms idle before each` +
    `  (${loadAverage()})`);
  const sides = await sidesFor(opts, c, samples);
  const lines = []; // { threads, loops, times: Map(side -> ms[]) }
  try {
    for (const loops of opts.loops) {
      const busy = startBusyLoops(loops);
      try {
        await sleep(IDLE_MS);
        for (const threads of opts.threads) {
          const active = sides.filter((s) => loops === 0 || !s.quietOnly);
          lines.push({ threads, loops, times: await measureLine(opts, active, threads) });
        }
      } finally {
        await stopBusyLoops(busy);
      }
    }
  } finally {
    for (const s of sides) await s.close();
  }
  printTable(opts, sides, lines);
  console.log(`(${loadAverage()})`);
}

async function main() {
  const { values } = parseArgs({
    options: {
      engine: { type: 'string' },
      'engine-prefix': { type: 'string', default: '' },
      unpatched: { type: 'string' },
      cli: { type: 'string' },
      threads: { type: 'string', default: '1,2' },
      loops: { type: 'string', default: '0,1,2' },
      runs: { type: 'string', default: '10' },
      'budget-s': { type: 'string', default: '30' },
      cases: { type: 'string', default: '' },
    },
  });
  if (!values.engine) throw new Error('usage: contention.mjs --engine PATH [--unpatched PATH] [--cli PATH]');
  const opts = {
    engine: values.engine,
    prefix: values['engine-prefix'].split(' ').filter(Boolean),
    unpatched: values.unpatched,
    cli: values.cli,
    threads: list(values.threads),
    loops: list(values.loops),
    runs: Number(values.runs),
    budgetMs: Number(values['budget-s']) * 1000,
  };
  let cases = benchCases();
  if (values.cases) cases = cases.filter((c) => values.cases.split(',').some((w) => c.name.includes(w)));
  for (const c of cases) await contention(opts, c);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
