#!/usr/bin/env node
// Weightless whisper model files for tests and for trying the engine without
// a real model.
//
// The file is whisper.cpp's legacy ggml layout (little-endian):
//   u32 magic 0x67676d6c ("ggml")
//   i32 n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
//       n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels, ftype
//   i32 n_mel, n_fft, then n_mel*n_fft f32 mel filter weights
//   i32 count, then count times (u32 length, bytes) vocabulary entries
// and nothing after: no tensors. whisper.cpp then warns "no tensors loaded"
// and runs the model as an empty one, whose transcript is empty.
//
// whisper.cpp tells the two model families apart by n_vocab alone
// (>= 51865 is multilingual), and fills every id the file does not list
// (the special, language and timestamp tokens) with generated names, so the
// stored vocabulary only needs ordinary tokens: all 256 single bytes (so any
// text tokenizes) and a few whole words (so greedy longest-match is used).
//
// CLI:    node make-test-model.mjs --variant multilingual|english --out FILE
// Module: import { makeTestModel, writeTestModel } from './make-test-model.mjs'

import { realpathSync, writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

export const GGML_MAGIC = 0x67676d6c;

/** Token counts that select the model family in whisper.cpp. */
export const VARIANTS = Object.freeze({ multilingual: 51865, english: 51864 });

// Audio and text context sizes are those of every whisper model: the engine
// and whisper_full assume 30-second windows (1500 encoder frames). The width
// and depth are the smallest that keep every graph well formed, so loading
// and decoding an empty model stays cheap.
const COMPACT_DIMS = Object.freeze({
  nAudioCtx: 1500, nAudioState: 64, nAudioHead: 1, nAudioLayer: 1,
  nTextCtx: 448, nTextState: 64, nTextHead: 1, nTextLayer: 1,
});
// The "tiny" shape, as in whisper.cpp's own weightless test models.
const TINY_DIMS = Object.freeze({
  nAudioCtx: 1500, nAudioState: 384, nAudioHead: 6, nAudioLayer: 4,
  nTextCtx: 448, nTextState: 384, nTextHead: 6, nTextLayer: 4,
});
export const DIMS = Object.freeze({ compact: COMPACT_DIMS, tiny: TINY_DIMS });

const SAMPLE_RATE = 16000;
const N_FFT = 400;   // 25 ms window; the filters cover bins 0..N_FFT/2
const N_MELS = 80;
const FTYPE_F16 = 1;

const WORDS = [
  'hello', ' hello', 'Hello', ' world', 'world', ' the', ' and', ' of', ' to',
  ' a', ' in', ' is', ' you', ' that', ' it', 'Quillet', ' Quillet', ' test',
];

function hzToMel(hz) {
  // Slaney scale: linear below 1 kHz, logarithmic above.
  const fSp = 200 / 3;
  const minLogHz = 1000;
  const minLogMel = minLogHz / fSp;
  const logStep = Math.log(6.4) / 27;
  return hz >= minLogHz ? minLogMel + Math.log(hz / minLogHz) / logStep : hz / fSp;
}

function melToHz(mel) {
  const fSp = 200 / 3;
  const minLogHz = 1000;
  const minLogMel = minLogHz / fSp;
  const logStep = Math.log(6.4) / 27;
  return mel >= minLogMel ? minLogHz * Math.exp(logStep * (mel - minLogMel)) : fSp * mel;
}

/**
 * Area-normalised triangular mel filter bank on the Slaney scale, the bank
 * whisper models are trained with: nMels rows of nFft/2+1 weights.
 */
export function melFilters(nMels = N_MELS, nFft = N_FFT, sampleRate = SAMPLE_RATE) {
  const nBins = nFft / 2 + 1;
  const fftFreqs = Array.from({ length: nBins }, (_, k) => (k * sampleRate) / nFft);
  const melMax = hzToMel(sampleRate / 2);
  const melPoints = Array.from({ length: nMels + 2 }, (_, i) => melToHz((melMax * i) / (nMels + 1)));
  const out = new Float32Array(nMels * nBins);
  for (let m = 0; m < nMels; m++) {
    const lo = melPoints[m], mid = melPoints[m + 1], hi = melPoints[m + 2];
    const norm = 2 / (hi - lo);
    for (let k = 0; k < nBins; k++) {
      const up = (fftFreqs[k] - lo) / (mid - lo);
      const down = (hi - fftFreqs[k]) / (hi - mid);
      out[m * nBins + k] = Math.max(0, Math.min(up, down)) * norm;
    }
  }
  return { nMels, nFft: nBins, data: out };
}

function vocabulary() {
  const tokens = [];
  for (let b = 0; b < 256; b++) tokens.push(Buffer.from([b]));
  for (const w of WORDS) tokens.push(Buffer.from(w, 'utf8'));
  return tokens;
}

/**
 * Bytes of a weightless model file.
 * @param {{variant?: 'multilingual'|'english', dims?: 'compact'|'tiny'}} [options]
 * @returns {Buffer}
 */
export function makeTestModel({ variant = 'multilingual', dims = 'compact' } = {}) {
  const nVocab = VARIANTS[variant];
  if (nVocab === undefined) throw new Error(`unknown variant "${variant}" (multilingual or english)`);
  const d = DIMS[dims];
  if (d === undefined) throw new Error(`unknown dims "${dims}" (compact or tiny)`);

  const header = Buffer.alloc(4 * 12);
  header.writeUInt32LE(GGML_MAGIC, 0);
  [nVocab, d.nAudioCtx, d.nAudioState, d.nAudioHead, d.nAudioLayer,
    d.nTextCtx, d.nTextState, d.nTextHead, d.nTextLayer, N_MELS, FTYPE_F16]
    .forEach((v, i) => header.writeInt32LE(v, 4 + 4 * i));

  const f = melFilters();
  const filters = Buffer.alloc(8 + 4 * f.data.length);
  filters.writeInt32LE(f.nMels, 0);
  filters.writeInt32LE(f.nFft, 4);
  f.data.forEach((v, i) => filters.writeFloatLE(v, 8 + 4 * i));

  const tokens = vocabulary();
  const parts = [header, filters, int32(tokens.length)];
  for (const t of tokens) parts.push(uint32(t.length), t);
  return Buffer.concat(parts);
}

/**
 * Writes a weightless model file and returns its size in bytes.
 * @param {string} file
 * @param {{variant?: 'multilingual'|'english', dims?: 'compact'|'tiny'}} [options]
 */
export function writeTestModel(file, options) {
  const bytes = makeTestModel(options);
  writeFileSync(file, bytes);
  return bytes.length;
}

function int32(v) { const b = Buffer.alloc(4); b.writeInt32LE(v); return b; }
function uint32(v) { const b = Buffer.alloc(4); b.writeUInt32LE(v); return b; }

const USAGE = 'usage: node make-test-model.mjs --variant multilingual|english --out FILE [--dims compact|tiny]';

function main(argv) {
  const opts = {};
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--variant') opts.variant = value();
    else if (a === '--out') opts.out = value();
    else if (a === '--dims') opts.dims = value();
    else if (a === '--help' || a === '-h') { console.log(USAGE); return 0; }
    else throw new Error(`unknown argument "${a}"`);
  }
  if (!opts.variant || !opts.out) throw new Error('--variant and --out are required');
  const size = writeTestModel(opts.out, { variant: opts.variant, dims: opts.dims });
  console.log(`wrote ${opts.out} (${opts.variant}, ${VARIANTS[opts.variant]} tokens, ${size} bytes, no weights)`);
  return 0;
}

function invokedDirectly() {
  if (!process.argv[1]) return false;
  try {
    return realpathSync(process.argv[1]) === realpathSync(fileURLToPath(import.meta.url));
  } catch {
    return false;
  }
}

if (invokedDirectly()) {
  try {
    process.exitCode = main(process.argv.slice(2));
  } catch (e) {
    console.error(`make-test-model: ${e.message}\n${USAGE}`);
    process.exitCode = 2;
  }
}
