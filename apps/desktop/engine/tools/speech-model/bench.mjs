#!/usr/bin/env node
// Held-out accuracy of the toy speech model, measured through the real
// engine (spawned process, frames in, JSON lines out), not the training code.
//
//   node bench.mjs [--model PATH] [--engine PATH] [--fixtures DIR] [--verbose]
//
// Prints word accuracy (1 - word error rate) and the utterances decoded
// exactly, over every fixture in the manifest and per kind (speaking style).

import { readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { startEngine } from '../../client/engine-client.mjs';
import { readWav } from '../../client/wav.mjs';
import { LOAD_OPTIONS, MODEL_PATH } from './model.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repoRoot = path.resolve(here, '../../../../..');
export const FIXTURES = path.resolve(here, '../../tests/process/fixtures/speech-model');

/** Word-level edit distance. */
export function wordErrors(ref, hyp) {
  let d = Array.from({ length: hyp.length + 1 }, (_, j) => j);
  for (let i = 1; i <= ref.length; i++) {
    const next = [i];
    for (let j = 1; j <= hyp.length; j++) {
      next[j] = Math.min(d[j] + 1, next[j - 1] + 1, d[j - 1] + (ref[i - 1] === hyp[j - 1] ? 0 : 1));
    }
    d = next;
  }
  return d[hyp.length];
}

export const words = (text) => text.trim().toLowerCase().split(/\s+/).filter(Boolean);

async function main() {
  const { values } = parseArgs({
    options: {
      model: { type: 'string', default: MODEL_PATH },
      engine: { type: 'string', default: process.env.QUILLET_WHISPER_BIN || path.join(repoRoot, 'build/linux/bin/quillet-whisper') },
      fixtures: { type: 'string', default: FIXTURES },
      verbose: { type: 'boolean', default: false },
    },
  });
  const manifest = JSON.parse(readFileSync(path.join(values.fixtures, 'manifest.json'), 'utf8'));
  const engine = await startEngine({ enginePath: values.engine, stderr: 'collect' });
  // per kind of fixture (speaking style), and over all of them
  const tallies = new Map();
  const tally = (kind) => tallies.get(kind) ?? tallies.set(kind, { n: 0, words: 0, errors: 0, exact: 0, decodeMs: 0 }).get(kind);
  try {
    await engine.load({ modelPath: values.model, device: 'cpu', ...LOAD_OPTIONS });
    for (const f of manifest) {
      const { samples } = await readWav(path.join(values.fixtures, f.file));
      const r = await engine.transcribe({ language: 'en', prompt: '', samples });
      const e = wordErrors(f.words, words(r.text));
      for (const t of [tally('all'), tally(f.kind)]) {
        t.n += 1;
        t.words += f.words.length;
        t.errors += e;
        t.exact += e === 0 ? 1 : 0;
        t.decodeMs += r.decodeMs;
      }
      if (values.verbose || e) console.log(`${e ? 'MISS' : 'ok  '} ${f.file}: "${f.words.join(' ')}" -> "${r.text}"`);
    }
  } finally {
    await engine.close();
  }
  console.log(`${values.fixtures}: voice settings never trained on`);
  for (const [kind, t] of tallies) {
    console.log(
      `${kind}: ${t.n} utterances, ${t.words} words: word accuracy ${(100 * (1 - t.errors / t.words)).toFixed(1)}% ` +
        `(${t.errors} word errors), ${t.exact} of ${t.n} exact, mean decode ${(t.decodeMs / t.n).toFixed(0)} ms`,
    );
  }
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  await main();
}
