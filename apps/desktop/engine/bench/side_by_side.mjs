#!/usr/bin/env node
// The engine against whisper-cli built in Release from the same pinned
// source, on the same model, audio, threads and audio context, interleaved
// in rounds so that a change in the machine's load hits both alike.
//
//   node side_by_side.mjs --engine PATH --cli PATH [--rounds N] [--threads N]
//                         [--busy-dictations N]
//
// Per case it prints the median and spread of the per-round ratio engine/cli:
//   one-shot: a process that starts, loads, decodes one file and exits,
//             against one whisper-cli run (wall time of each process);
//   steady:   the median time from sending a dictation to its result, over 20
//             dictations in one engine process, against the library time
//             whisper-cli prints for its transcription.
// Then the toy model's 2 s dictation with the client's default settings,
// after a second of idle each, quiet and with two busy loops beside it.
// It prints figures; it is not a test.

import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { startEngine } from '../client/engine-client.mjs';
import { readWav } from '../client/wav.mjs';
import { LOAD_OPTIONS, MODEL_PATH } from '../tools/speech-model/model.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repoRoot = path.resolve(here, '../../../..');
const testdata = path.resolve(repoRoot, '../shared/testdata');
const fixtures = path.join(repoRoot, 'apps/desktop/engine/tests/process/fixtures/speech-model');
const STEADY_DICTATIONS = 20;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const m = s.length >> 1;
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
};
const fmt = (x, digits = 0) => x.toFixed(digits).padStart(8);

/** Runs a process to its end; resolves with its wall time and output. */
function runProcess(file, args) {
  return new Promise((resolve, reject) => {
    const t0 = performance.now();
    const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    child.stdout.on('data', (d) => (out += d));
    child.stderr.on('data', (d) => (out += d));
    child.on('error', reject);
    child.on('close', (code) => {
      const ms = performance.now() - t0;
      if (code !== 0) reject(new Error(`${path.basename(file)} exited ${code}:\n${out.slice(-2000)}`));
      else resolve({ ms, out });
    });
  });
}

function cliArgs(c, threads) {
  return ['-m', c.model, '-f', c.wav, '-t', String(threads), '-l', 'en', '-bs', '1', '-ac', String(c.audioCtx),
    '-sns', '-ng'];
}

/**
 * whisper-cli's library time: the parts of a transcription it prints (mel,
 * sampling, encoder, decoder, batch and prompt passes). Its "total" also
 * counts loading the model and setting up the decoder state, which the
 * engine does once per model, not per dictation.
 */
function cliLibraryMs(out) {
  let sum = 0;
  let found = 0;
  for (const part of ['mel', 'sample', 'encode', 'decode', 'batchd', 'prompt']) {
    const m = new RegExp(`${part} time =\\s*([\\d.]+) ms`).exec(out);
    if (m) {
      sum += Number(m[1]);
      found++;
    }
  }
  if (found < 3) throw new Error(`no timings in whisper-cli's output:\n${out.slice(-2000)}`);
  return sum;
}

function loadOptions(c, threads) {
  return { modelPath: c.model, device: 'cpu', threads, ...(c.audioCtx ? LOAD_OPTIONS : {}) };
}

async function engineOneShot(enginePath, c, samples, threads) {
  const t0 = performance.now();
  const engine = await startEngine({ enginePath, stderr: 'ignore' });
  await engine.load(loadOptions(c, threads));
  await engine.transcribe({ language: 'en', samples });
  await engine.close();
  return performance.now() - t0;
}

async function engineSteady(enginePath, c, samples, threads) {
  const engine = await startEngine({ enginePath, stderr: 'ignore' });
  const times = [];
  try {
    await engine.load(loadOptions(c, threads));
    for (let i = 0; i < STEADY_DICTATIONS; i++) {
      const t0 = performance.now();
      await engine.transcribe({ language: 'en', samples });
      times.push(performance.now() - t0);
    }
  } finally {
    await engine.close();
  }
  return median(times);
}

function printRatios(label, engineMs, cliMs) {
  const ratios = engineMs.map((e, i) => e / cliMs[i]);
  console.log(
    `${label.padEnd(34)} engine ${fmt(median(engineMs))} ms  cli ${fmt(median(cliMs))} ms  ` +
      `ratio min ${fmt(Math.min(...ratios), 3)} median ${fmt(median(ratios), 3)} max ${fmt(Math.max(...ratios), 3)}`,
  );
}

async function sideBySide(opts, c) {
  const { samples } = await readWav(c.wav);
  const oneEngine = [];
  const oneCli = [];
  const steadyEngine = [];
  const steadyCli = [];
  // One warm-up of each so that the first round does not pay for cold caches.
  await runProcess(opts.cli, cliArgs(c, opts.threads));
  await engineOneShot(opts.engine, c, samples, opts.threads);
  for (let r = 0; r < opts.rounds; r++) {
    // Alternate which side goes first, so neither always follows the other.
    const cliFirst = r % 2 === 0;
    let cli;
    if (cliFirst) cli = await runProcess(opts.cli, cliArgs(c, opts.threads));
    oneEngine.push(await engineOneShot(opts.engine, c, samples, opts.threads));
    if (!cliFirst) cli = await runProcess(opts.cli, cliArgs(c, opts.threads));
    oneCli.push(cli.ms);
    steadyCli.push(cliLibraryMs(cli.out));
    steadyEngine.push(await engineSteady(opts.engine, c, samples, opts.threads));
  }
  console.log(`== ${c.name}: ${opts.rounds} rounds, ${opts.threads} threads, audio context ${c.audioCtx || 'full'}`);
  printRatios('one transcription per process', oneEngine, oneCli);
  printRatios(`steady state (${STEADY_DICTATIONS} per process)`, steadyEngine, steadyCli);
}

function startBusyLoops(n) {
  const loops = [];
  for (let i = 0; i < n; i++) loops.push(spawn('sh', ['-c', 'while :; do :; done'], { stdio: 'ignore' }));
  return loops;
}

async function dictationLatencies(enginePath, wav, count) {
  const { samples } = await readWav(wav);
  const engine = await startEngine({ enginePath, stderr: 'ignore' });
  const times = [];
  try {
    // The client's defaults: device and threads left to it.
    await engine.load({ modelPath: MODEL_PATH, ...LOAD_OPTIONS });
    await engine.transcribe({ language: 'en', samples });
    for (let i = 0; i < count; i++) {
      await sleep(1000); // a user pauses between dictations
      const t0 = performance.now();
      await engine.transcribe({ language: 'en', samples });
      times.push(performance.now() - t0);
    }
  } finally {
    await engine.close();
  }
  return times;
}

async function busyDesktop(opts) {
  const wav = path.join(fixtures, 'held-out-02.wav');
  const quiet = await dictationLatencies(opts.engine, wav, opts.busyDictations);
  const loops = startBusyLoops(2);
  let busy;
  try {
    busy = await dictationLatencies(opts.engine, wav, opts.busyDictations);
  } finally {
    for (const l of loops) l.kill('SIGKILL');
  }
  const q = median(quiet);
  const b = median(busy);
  console.log(`== toy model, 2 s dictation after 1 s idle, client defaults (${os.availableParallelism()} logical CPUs)`);
  console.log(`quiet median ${fmt(q)} ms (min ${fmt(Math.min(...quiet))}, max ${fmt(Math.max(...quiet))})`);
  console.log(`two busy loops median ${fmt(b)} ms (min ${fmt(Math.min(...busy))}, max ${fmt(Math.max(...busy))})`);
  console.log(`busy / quiet ${fmt(b / q, 2)}`);
}

async function main() {
  const { values } = parseArgs({
    options: {
      engine: { type: 'string' },
      cli: { type: 'string' },
      rounds: { type: 'string', default: '5' },
      threads: { type: 'string', default: '2' },
      'busy-dictations': { type: 'string', default: '10' },
    },
  });
  if (!values.engine || !values.cli) throw new Error('usage: side_by_side.mjs --engine PATH --cli PATH');
  const opts = {
    engine: values.engine,
    cli: values.cli,
    rounds: Number(values.rounds),
    threads: Number(values.threads),
    busyDictations: Number(values['busy-dictations']),
  };
  const cases = [];
  const tiny = path.join(testdata, 'for-tests-ggml-tiny.en.bin');
  const jfk = path.join(testdata, 'jfk.wav');
  if (existsSync(tiny) && existsSync(jfk)) {
    cases.push({ name: 'weightless tiny.en on jfk.wav', model: tiny, wav: jfk, audioCtx: 0 });
  } else {
    console.log(`(skipping the tiny.en case: ${testdata} has no weightless tiny model and jfk.wav)`);
  }
  cases.push({ name: 'toy model on held-out-02.wav', model: MODEL_PATH, wav: path.join(fixtures, 'held-out-02.wav'),
    audioCtx: LOAD_OPTIONS.shortAudioCtx });
  for (const c of cases) await sideBySide(opts, c);
  await busyDesktop(opts);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
