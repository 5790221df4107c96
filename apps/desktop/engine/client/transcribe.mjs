#!/usr/bin/env node
// Transcribes a WAV file with the quillet-whisper engine through the client.
// Run with --help for usage.

import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { DEVICES, MAX_THREADS } from './checks.mjs';
import { startEngine } from './engine-client.mjs';
import { readWav } from './wav.mjs';
import { LOAD_OPTIONS as TOY_LOAD_OPTIONS, MODEL_PATH as TOY_MODEL_PATH } from '../tools/speech-model/model.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repoRoot = path.resolve(here, '../../../..');

export const USAGE = `usage: node transcribe.mjs <file.wav> [options]

  --model PATH        whisper.cpp model file (default: the toy dictation model, digits and a few dozen words)
  --engine PATH       engine executable (default: $QUILLET_WHISPER_BIN, else build/linux/bin/quillet-whisper)
  --accelerators DIR  accelerator pack directory passed to the engine
  --device NAME       ${DEVICES.join(' | ')} (default auto)
  --language CODE     spoken language, e.g. en, de, or auto (default auto)
  --prompt TEXT       text that primes the decoder (default none)
  --threads N         decode threads, 1 to ${MAX_THREADS} (default: half the CPUs, at least 2 of 2, at most ${MAX_THREADS})
  --verbose           show the engine's diagnostics as they come
  --help              this text

The WAV file must be 16 kHz, mono, 16-bit PCM.`;

export function defaultEnginePath(env = process.env) {
  if (env.QUILLET_WHISPER_BIN) return env.QUILLET_WHISPER_BIN;
  return process.platform === 'win32'
    ? path.join(repoRoot, 'build', 'windows', 'bin', 'quillet-whisper.exe')
    : path.join(repoRoot, 'build', 'linux', 'bin', 'quillet-whisper');
}

export function parseCommandLine(argv) {
  const { values, positionals } = parseArgs({
    args: argv,
    allowPositionals: true,
    options: {
      model: { type: 'string' },
      engine: { type: 'string' },
      accelerators: { type: 'string' },
      device: { type: 'string', default: 'auto' },
      language: { type: 'string', default: 'auto' },
      prompt: { type: 'string', default: '' },
      threads: { type: 'string' },
      verbose: { type: 'boolean', default: false },
      help: { type: 'boolean', default: false },
    },
  });
  if (values.help) return { help: true };
  if (positionals.length !== 1) throw new UsageError('give exactly one WAV file');
  if (!DEVICES.includes(values.device)) throw new UsageError(`--device must be one of ${DEVICES.join(', ')}`);
  let threads;
  if (values.threads !== undefined) {
    threads = Number(values.threads);
    if (!Number.isInteger(threads) || threads < 1 || threads > MAX_THREADS) {
      throw new UsageError(`--threads must be 1 to ${MAX_THREADS}`);
    }
  }
  return { ...values, threads, wav: positionals[0] };
}

export class UsageError extends Error {}

async function run(opts, log) {
  const audio = await readWav(opts.wav);

  // Without --model, the committed toy model: it knows only digits and a few
  // dozen dictation words, but it turns the sample into real words.
  const toy = !opts.model;
  const modelPath = opts.model ?? TOY_MODEL_PATH;
  if (toy) {
    log('note: no --model given, so the toy dictation model is used: it knows digits and a few dozen');
    log('      dictation words (tools/speech-model/MODEL.md), nothing else.');
    log('      For real speech pass a whisper.cpp model, e.g. --model path/to/ggml-base.en.bin');
  }

  const enginePath = opts.engine ?? defaultEnginePath();
  const engine = await startEngine({
    enginePath,
    accelerators: opts.accelerators,
    stderr: opts.verbose ? 'inherit' : 'collect',
  });
  try {
    const h = engine.hello;
    log(`engine: whisper ${h.whisper}, backends ${h.backends.join(', ')}`);
    const ready = await engine.load({ modelPath, device: opts.device, threads: opts.threads, ...(toy ? TOY_LOAD_OPTIONS : {}) });
    log(`model: ${toy ? 'toy dictation model' : modelPath}`);
    log(`loaded on ${ready.device}${ready.fallback ? ' (GPU failed, fell back to the CPU)' : ''} in ${ready.loadMs} ms`);
    const result = await engine.transcribe({ language: opts.language, prompt: opts.prompt, samples: audio.samples });
    const speed = result.decodeMs > 0 ? `, ${(result.audioMs / result.decodeMs).toFixed(1)}x real time` : '';
    log(`decoded ${result.audioMs} ms of audio in ${result.decodeMs} ms${speed}`);
    if (result.text === '') log('(empty transcript)');
    return result.text;
  } catch (err) {
    const tail = engine.stderrTail.trim();
    if (tail && err.code !== 'ENGINE_EXITED') err.message += `\nengine diagnostics (last lines):\n${tail.split('\n').slice(-10).join('\n')}`;
    throw err;
  } finally {
    await engine.close();
  }
}

async function main(argv) {
  let opts;
  try {
    opts = parseCommandLine(argv);
  } catch (err) {
    console.error(`transcribe: ${err.message}\n${USAGE}`);
    return 2;
  }
  if (opts.help) {
    console.log(USAGE);
    return 0;
  }
  try {
    const text = await run(opts, (line) => console.error(line));
    console.log(text);
    return 0;
  } catch (err) {
    const where = err.code === 'ENGINE_EXITED' && /cannot run/.test(err.message)
      ? '\n(build the engine first, or pass --engine / set QUILLET_WHISPER_BIN)' : '';
    console.error(`transcribe: ${err.message}${where}`);
    return 1;
  }
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  process.exitCode = await main(process.argv.slice(2));
}
