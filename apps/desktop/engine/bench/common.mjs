// What the engine benchmarks share: the cases, whisper-cli's command line and
// timings, busy loops beside a measurement, and the figures' formatting.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { LOAD_OPTIONS, MODEL_PATH } from '../tools/speech-model/model.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repoRoot = path.resolve(here, '../../../..');
export const TESTDATA = path.resolve(repoRoot, '../shared/testdata');
const fixtures = path.join(repoRoot, 'apps/desktop/engine/tests/process/fixtures/speech-model');

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
export const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const m = s.length >> 1;
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
};
export const fmt = (x, digits = 0, width = 8) => x.toFixed(digits).padStart(width);
export const loadAverage = () => `load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`;

/**
 * The measured cases: the toy model's 2 s dictation (at the 256-position
 * context it is trained on) and, when ../shared/testdata has them, the
 * weightless tiny.en model on jfk.wav (11 s) at the 768-position context
 * (15.36 s) that a host would give dictations of up to 15 s, which keeps the
 * contention section within minutes. `load`: the engine's load options.
 */
export function benchCases() {
  const cases = [{
    name: 'toy model, 2 s dictation', model: MODEL_PATH, wav: path.join(fixtures, 'held-out-02.wav'),
    audioCtx: LOAD_OPTIONS.shortAudioCtx, load: LOAD_OPTIONS,
  }];
  const tiny = path.join(TESTDATA, 'for-tests-ggml-tiny.en.bin');
  const jfk = path.join(TESTDATA, 'jfk.wav');
  if (existsSync(tiny) && existsSync(jfk)) {
    cases.push({
      name: 'weightless tiny.en, 11 s', model: tiny, wav: jfk, audioCtx: 768,
      load: { shortWindowSamples: 15 * 16000, shortAudioCtx: 768 },
    });
  } else {
    console.log(`(skipping the tiny.en case: ${TESTDATA} has no for-tests-ggml-tiny.en.bin and jfk.wav)`);
  }
  return cases;
}

/** The engine's load request for a case: the CPU, the given threads. */
export const loadOptions = (c, threads) => ({ modelPath: c.model, device: 'cpu', threads, ...c.load });

/** Runs a process to its end; resolves with its wall time and output. */
export function runProcess(file, args) {
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

/** whisper-cli on a case, decoding its file `times` times in one process. */
export function cliArgs(c, threads, times = 1) {
  const files = [];
  for (let i = 0; i < times; i++) files.push('-f', c.wav);
  return ['-m', c.model, ...files, '-t', String(threads), '-l', 'en', '-bs', '1', '-ac', String(c.audioCtx), '-sns',
    '-ng'];
}

/**
 * whisper-cli's library time for one transcription: the parts it prints (mel,
 * sampling, encoder, decoder, batch and prompt passes). Its "total" also
 * counts loading the model and setting up the decoder state, which the
 * engine does once per model, not per dictation.
 */
export function cliLibraryMs(out) {
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

// Busy loops still running, killed on any way out of the process.
const running = new Set();
const killAll = () => {
  for (const l of running) l.kill('SIGTERM');
};
process.on('exit', killAll);
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(sig, () => {
    killAll();
    process.exit(128 + os.constants.signals[sig]);
  });
}

/**
 * Starts n shell busy loops, each under timeout(1) so that none outlives a
 * bench that was itself killed; timeout passes the SIGTERM of stopBusyLoops
 * on to its loop.
 */
export function startBusyLoops(n) {
  const loops = [];
  for (let i = 0; i < n; i++) {
    const l = spawn('timeout', ['900', 'sh', '-c', 'while :; do :; done'], { stdio: 'ignore' });
    l.gone = new Promise((resolve) => l.on('exit', resolve));
    running.add(l);
    loops.push(l);
  }
  return loops;
}

/** Stops the loops and waits until each has exited. */
export async function stopBusyLoops(loops) {
  for (const l of loops) l.kill('SIGTERM');
  await Promise.all(loops.map((l) => l.gone));
  for (const l of loops) running.delete(l);
}
