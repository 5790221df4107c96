#!/usr/bin/env node
// The Windows engine (the mingw-w64 .exe under Wine, which runs its machine
// code natively) against the Linux engine built from the same source, on the
// same machine, model, audio and threads. Both engines stay up, are warmed by
// one dictation, then take turns, one dictation each per round, the order
// swapped every round so that a change in load hits both alike. It prints
// the Windows/Linux ratio of the engine's own decodeMs per round (min,
// median, max) and the load average. It prints figures; it is not a test.
// Any two engines compare the same way (an .exe runs under Wine); --names
// labels them, as bench.sh's variants section does for two CPU backends.
//
//   node windows_vs_linux.mjs --linux PATH --windows PATH[.exe] [--rounds N]
//        [--threads 1,2] [--models toy,q8_0,f16] [--wav FILE] [--names A,B]

import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { FrameKind, LineSplitter, encodeAudioFrame, encodeFrame } from '../client/protocol.mjs';
import { readWav } from '../client/wav.mjs';
import { writeTestModel } from '../tools/make-test-model.mjs';
import { LOAD_OPTIONS, MODEL_PATH } from '../tools/speech-model/model.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const m = s.length >> 1;
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
};
const load = () => os.loadavg().map((x) => x.toFixed(2)).join(' ');

/** One engine process, asked one frame batch at a time. */
class Engine {
  constructor(file, prefix) {
    const [cmd, ...args] = [...prefix, file];
    this.child = spawn(cmd, args, { stdio: ['pipe', 'pipe', 'pipe'], env: { ...process.env, WINEDEBUG: '-all' } });
    this.child.stderr.resume();
    this.waiting = [];
    const lines = new LineSplitter();
    this.child.stdout.on('data', (d) => {
      for (const line of lines.push(d)) this.waiting.shift()?.(JSON.parse(line));
    });
    this.hello = this.#next();
  }

  #next() { return new Promise((resolve) => this.waiting.push(resolve)); }

  ask(frames) {
    const reply = this.#next();
    this.child.stdin.write(Buffer.concat(frames));
    return reply;
  }

  async dictate(samples, id) {
    const r = await this.ask([encodeFrame(FrameKind.Begin, { requestId: id, language: 'en', prompt: '' }),
      encodeAudioFrame(samples), encodeFrame(FrameKind.Finish, { requestId: id })]);
    if (r.type !== 'result') throw new Error(`dictation answered ${JSON.stringify(r)}`);
    return r;
  }

  // 'exit', not 'close': the Wine services the first .exe starts inherit its
  // standard error and keep that pipe open long after the engine has gone.
  // Its pipes are let go at exit for the same reason.
  close() {
    this.child.stdin.end();
    return new Promise((resolve) => this.child.on('exit', resolve)).then(() => {
      this.child.stdout.destroy();
      this.child.stderr.destroy();
    });
  }
}

async function compare(opts, label, modelPath, loadOptions, threads, samples) {
  const engines = [opts.linux, opts.windows].map((f) => new Engine(f, f.endsWith('.exe') ? ['wine'] : []));
  const loadMsg = { version: 2, modelPath, device: 'cpu', threads, shortWindowSamples: 0, shortAudioCtx: 0, ...loadOptions };
  for (const e of engines) {
    await e.hello;
    const ready = await e.ask([encodeFrame(FrameKind.Load, loadMsg)]);
    if (ready.type !== 'ready') throw new Error(`load answered ${JSON.stringify(ready)}`);
  }
  const texts = await Promise.all(engines.map((e) => e.dictate(samples, 0))); // warm-up
  const ms = [[], []];
  for (let round = 1; round <= opts.rounds; round++) {
    for (const i of round % 2 ? [0, 1] : [1, 0]) ms[i].push((await engines[i].dictate(samples, round)).decodeMs);
  }
  await Promise.all(engines.map((e) => e.close()));
  const ratios = ms[0].map((l, i) => ms[1][i] / l);
  const same = texts[0].text === texts[1].text ? 'same text' : `TEXT DIFFERS: ${JSON.stringify(texts.map((t) => t.text))}`;
  console.log(`${label.padEnd(22)} ${String(threads).padStart(2)}  ${opts.a} ${String(median(ms[0])).padStart(6)} ms` +
    `  ${opts.b} ${String(median(ms[1])).padStart(6)} ms  ratio min ${Math.min(...ratios).toFixed(2)}` +
    ` median ${median(ratios).toFixed(2)} max ${Math.max(...ratios).toFixed(2)}  load ${load()}  ${same}`);
}

const { values } = parseArgs({
  options: {
    linux: { type: 'string' }, windows: { type: 'string' }, rounds: { type: 'string', default: '10' },
    threads: { type: 'string', default: '1,2' }, models: { type: 'string', default: 'toy,q8_0,f16' },
    wav: { type: 'string', default: path.join(here, '../samples/dictation.wav') },
    names: { type: 'string', default: 'linux,windows' },
  },
});
if (!values.linux || !values.windows) throw new Error('--linux and --windows name the two engines');
const [a, b] = values.names.split(',');
const opts = { ...values, rounds: Number(values.rounds), a, b };
const samples = (await readWav(values.wav)).samples;
const dir = mkdtempSync(path.join(os.tmpdir(), 'quillet-winbench-'));
try {
  const wanted = values.models.split(',');
  const models = wanted.includes('toy') ? [['toy model (q8_0)', MODEL_PATH, LOAD_OPTIONS]] : [];
  for (const [name, ftype] of [['q8_0', 7], ['f16', 1]].filter(([name]) => wanted.includes(name))) {
    const file = path.join(dir, `tiny-${name}.bin`);
    writeTestModel(file, { variant: 'multilingual', dims: 'tiny', ftype, weights: 'random', seed: 1 });
    models.push([`random tiny (${name})`, file, {}]);
  }
  console.log(`decodeMs medians over ${opts.rounds} interleaved rounds; ratio = ${b} / ${a} per round`);
  console.log(`case                   threads; load average before: ${load()}`);
  for (const threads of values.threads.split(',').map(Number)) {
    for (const [label, file, loadOptions] of models) await compare(opts, label, file, loadOptions, threads, samples);
  }
} finally {
  rmSync(dir, { recursive: true, force: true });
}
