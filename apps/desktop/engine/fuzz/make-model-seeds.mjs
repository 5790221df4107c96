#!/usr/bin/env node
// Writes the model fuzzer's seeds (corpus/model/, each under 70 KB): small
// valid models of both vocabularies in several shapes and weight types, and
// one with every tensor but the token embedding for the mutator to complete
// or break. Run from anywhere: node apps/desktop/engine/fuzz/make-model-seeds.mjs
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { makeTestModel } from '../tools/make-test-model.mjs';

const dir = join(dirname(fileURLToPath(import.meta.url)), 'corpus', 'model');
const mini8 = { dims: 'mini', nMels: 8 };
const seeds = {
  'multilingual-mini': { variant: 'multilingual', ...mini8 },
  'english-mini': { variant: 'english', ...mini8 },
  'multilingual-compact': { variant: 'multilingual', dims: 'compact' },
  'english-tiny': { variant: 'english', dims: 'tiny' },
  'multilingual-mini-q8_0': { variant: 'multilingual', ...mini8, ftype: 7 },
  'english-mini-2mels': { variant: 'english', dims: 'mini', nMels: 2 },
  'v3-vocabulary-mini': { variant: 'multilingual', ...mini8, header: { nVocab: 51866 } },
  'english-mini-q4_0-tensors': {
    variant: 'english', ...mini8, ftype: 2, weights: 'random', omitTensors: ['decoder.token_embedding.weight'],
  },
};

rmSync(dir, { recursive: true, force: true });
mkdirSync(dir, { recursive: true });
for (const [name, options] of Object.entries(seeds)) {
  const bytes = makeTestModel(options);
  if (bytes.length > 70 * 1024) throw new Error(`seed ${name} is ${bytes.length} bytes`);
  writeFileSync(join(dir, name), bytes);
  console.log(`${name}: ${bytes.length} bytes`);
}
