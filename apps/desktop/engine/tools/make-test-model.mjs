#!/usr/bin/env node
// Whisper model files for tests and for trying the engine without a real
// model: weightless by default, optionally with zero or random weights, and
// with header and filter overrides for hostile files.
//
// The file is whisper.cpp's legacy ggml layout (little-endian):
//   u32 magic 0x67676d6c ("ggml")
//   i32 n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
//       n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels, ftype
//   i32 n_mel, n_fft, then n_mel*n_fft f32 mel filter weights
//   i32 count, then count times (u32 length, bytes) vocabulary entries
// and by default nothing after: no tensors. whisper.cpp then warns "no
// tensors loaded" and runs the model as an empty one, whose transcript is
// empty. With weights, one record per tensor follows:
//   i32 n_dims, name length, ggml type; n_dims times i32 extent; name; data
//
// whisper.cpp tells the two model families apart by n_vocab alone
// (>= 51865 is multilingual), and fills every id the file does not list
// (the special, language and timestamp tokens) with generated names, so the
// stored vocabulary only needs ordinary tokens: all 256 single bytes (so any
// text tokenizes) and a few whole words (so greedy longest-match is used).
//
// CLI:    node make-test-model.mjs --variant multilingual|english --out FILE
//           [--dims compact|tiny|mini] [--mels N] [--ftype N]
//           [--weights none|zero|random] [--seed N]
// Module: import { makeTestModel, writeTestModel } from './make-test-model.mjs'

import { realpathSync, writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

export const GGML_MAGIC = 0x67676d6c;
export { GGML_TYPES };

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

// Smaller still, for the model-file fuzzer and quick decodes: short contexts
// keep one decode of one second to a few milliseconds.
const MINI_DIMS = Object.freeze({
  nAudioCtx: 16, nAudioState: 32, nAudioHead: 2, nAudioLayer: 1,
  nTextCtx: 16, nTextState: 32, nTextHead: 2, nTextLayer: 1,
});
export const DIMS = Object.freeze({ compact: COMPACT_DIMS, tiny: TINY_DIMS, mini: MINI_DIMS });

const SAMPLE_RATE = 16000;
const N_FFT = 400;   // 25 ms window; the filters cover bins 0..N_FFT/2
const N_MELS = 80;
const FTYPE_F16 = 1;

/** The header's int32 fields after the magic, in file order. */
export const HEADER_FIELDS = Object.freeze([
  'nVocab', 'nAudioCtx', 'nAudioState', 'nAudioHead', 'nAudioLayer',
  'nTextCtx', 'nTextState', 'nTextHead', 'nTextLayer', 'nMels', 'ftype',
]);

/** Byte offset of a header field (see HEADER_FIELDS) in a model file. */
export function headerOffset(field) {
  const i = HEADER_FIELDS.indexOf(field);
  if (i < 0) throw new Error(`unknown header field "${field}"`);
  return 4 + 4 * i;
}

/** Byte offset of the filter block's row count; its width follows. */
export const FILTERS_OFFSET = 4 + 4 * HEADER_FIELDS.length;

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

// ggml type numbers and storage of the weight types the generator writes:
// [elements per block, bytes per block].
const GGML_TYPES = Object.freeze({ f32: 0, f16: 1, q4_0: 2, q8_0: 8 });
const BLOCKS = Object.freeze({ 0: [1, 4], 1: [1, 2], 2: [32, 18], 8: [32, 34] });
// The file's ftype (the type of the big matrices) -> ggml type.
const FTYPE_TO_TYPE = Object.freeze({ 0: 0, 1: 1, 2: 2, 7: 8 });

/**
 * The tensors whisper.cpp creates for a header, in the order it creates
 * them: { name, ne: [ne0, ne1, ne2], type }.
 */
export function expectedTensors(h) {
  const wtype = FTYPE_TO_TYPE[h.ftype];
  if (wtype === undefined) throw new Error(`no weights for ftype ${h.ftype} (0, 1, 2 or 7)`);
  const vtype = wtype === 0 ? 0 : 1; // convolutions: F32 or F16
  const out = [];
  const t = (name, ne, type) => out.push({ name, ne, type });
  const as = h.nAudioState;
  const ts = h.nTextState;
  t('encoder.positional_embedding', [as, h.nAudioCtx], 0);
  t('encoder.conv1.weight', [3, h.nMels, as], vtype);
  t('encoder.conv1.bias', [1, as], 0);
  t('encoder.conv2.weight', [3, as, as], vtype);
  t('encoder.conv2.bias', [1, as], 0);
  t('encoder.ln_post.weight', [as], 0);
  t('encoder.ln_post.bias', [as], 0);
  const block = (prefix, s) => [
    [`${prefix}mlp_ln.weight`, [s], 0], [`${prefix}mlp_ln.bias`, [s], 0],
    [`${prefix}mlp.0.weight`, [s, 4 * s], wtype], [`${prefix}mlp.0.bias`, [4 * s], 0],
    [`${prefix}mlp.2.weight`, [4 * s, s], wtype], [`${prefix}mlp.2.bias`, [s], 0],
    [`${prefix}attn_ln.weight`, [s], 0], [`${prefix}attn_ln.bias`, [s], 0],
    [`${prefix}attn.query.weight`, [s, s], wtype], [`${prefix}attn.query.bias`, [s], 0],
    [`${prefix}attn.key.weight`, [s, s], wtype],
    [`${prefix}attn.value.weight`, [s, s], wtype], [`${prefix}attn.value.bias`, [s], 0],
    [`${prefix}attn.out.weight`, [s, s], wtype], [`${prefix}attn.out.bias`, [s], 0],
  ];
  for (let i = 0; i < h.nAudioLayer; i++) block(`encoder.blocks.${i}.`, as).forEach((a) => t(...a));
  t('decoder.positional_embedding', [ts, h.nTextCtx], 0);
  t('decoder.token_embedding.weight', [ts, h.nVocab], wtype);
  t('decoder.ln.weight', [ts], 0);
  t('decoder.ln.bias', [ts], 0);
  for (let i = 0; i < h.nTextLayer; i++) {
    block(`decoder.blocks.${i}.`, ts).forEach((a) => t(...a));
    const p = `decoder.blocks.${i}.cross_`;
    [
      [`${p}attn_ln.weight`, [ts], 0], [`${p}attn_ln.bias`, [ts], 0],
      [`${p}attn.query.weight`, [ts, ts], wtype], [`${p}attn.query.bias`, [ts], 0],
      [`${p}attn.key.weight`, [ts, ts], wtype],
      [`${p}attn.value.weight`, [ts, ts], wtype], [`${p}attn.value.bias`, [ts], 0],
      [`${p}attn.out.weight`, [ts, ts], wtype], [`${p}attn.out.bias`, [ts], 0],
    ].forEach((a) => t(...a));
  }
  return out;
}

// Deterministic pseudo-random numbers in [0, 1) (xorshift32).
function rng(seed) {
  let x = (seed >>> 0) || 0x9e3779b9;
  return () => {
    x ^= x << 13; x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5; x >>>= 0;
    return x / 0x100000000;
  };
}

function f16Bits(v) {
  // Round-to-nearest conversion of a small finite float to IEEE half.
  const f = new Float32Array([v]);
  const u = new Uint32Array(f.buffer)[0];
  const sign = (u >>> 16) & 0x8000;
  const exp = ((u >>> 23) & 0xff) - 127 + 15;
  const mant = u & 0x7fffff;
  if (exp <= 0) return sign; // flush tiny values to zero
  if (exp >= 31) return sign | 0x7bff; // clamp to the largest finite half
  return sign | (exp << 10) | Math.round(mant / 0x2000) & 0x3ff;
}

// Data of one tensor: zeros, or small random values (scale 0.05) in its type.
function tensorData(ne, type, fill, next) {
  const n = ne.reduce((a, b) => a * b, 1);
  const [blk, bytes] = BLOCKS[type];
  const out = Buffer.alloc((n / blk) * bytes);
  if (fill === 'zero') return out;
  const value = () => (next() * 2 - 1) * 0.05;
  if (type === 0) for (let i = 0; i < n; i++) out.writeFloatLE(value(), 4 * i);
  else if (type === 1) for (let i = 0; i < n; i++) out.writeUInt16LE(f16Bits(value()), 2 * i);
  else {
    for (let b = 0; b < n / blk; b++) {
      const o = b * bytes;
      out.writeUInt16LE(f16Bits(0.05 / (type === 8 ? 127 : 8)), o); // block scale
      for (let i = 2; i < bytes; i++) out[o + i] = Math.floor(next() * 256);
    }
  }
  return out;
}

/**
 * One tensor record: { name, ne, type } with 'zero' or 'random' data.
 * @returns {Buffer}
 */
export function makeTensorRecord(tensor, fill = 'zero', seed = 1) {
  return tensorRecord(tensor, fill, rng(seed));
}

function tensorRecord({ name, ne, type }, fill, next) {
  const nameBytes = Buffer.from(name, 'utf8');
  const head = Buffer.alloc(12 + 4 * ne.length);
  head.writeInt32LE(ne.length, 0);
  head.writeInt32LE(nameBytes.length, 4);
  head.writeInt32LE(type, 8);
  ne.forEach((e, i) => head.writeInt32LE(e, 12 + 4 * i));
  return Buffer.concat([head, nameBytes, tensorData(ne, type, fill, next)]);
}

/**
 * Bytes of a test model file.
 *
 * Options (all optional):
 *   variant  'multilingual' | 'english': the token count (family)
 *   nVocab   another token count (51866 as in large-v3, down to 50364)
 *   dims     'compact' | 'tiny' | 'mini': the shape (see DIMS), or an object
 *            with some of its fields (the rest from 'compact')
 *   nMels    mel bands (80 in the released models, 128 in large-v3)
 *   ftype    type of the big matrices (1 F16; 0 F32, 2 Q4_0, 7 Q8_0 with weights)
 *   weights  'none' (a weightless model), 'zero' or 'random': a record for
 *            every tensor whisper.cpp expects, zero or small random values
 *   seed     seed of the random values
 *   omitTensors  names of tensors to leave out of the weights
 *   extraTokens  more stored vocabulary words ("w0", "w1", ...) after the usual ones
 *   header   { field: value } written over the header after the rest (see
 *            HEADER_FIELDS): for hostile files
 *   filters  { rows, width }: the filter block's dimensions, for hostile files
 *            (the weights follow the stated size)
 * @returns {Buffer}
 */
export function makeTestModel({
  variant = 'multilingual', dims = 'compact', nMels = N_MELS, ftype = FTYPE_F16,
  weights = 'none', seed = 1, header = {}, filters = {}, omitTensors = [], extraTokens = 0, nVocab: tokenCount,
} = {}) {
  const nVocab = tokenCount ?? VARIANTS[variant];
  if (nVocab === undefined) throw new Error(`unknown variant "${variant}" (multilingual or english)`);
  const d = typeof dims === 'object' ? { ...COMPACT_DIMS, ...dims } : DIMS[dims];
  if (d === undefined) throw new Error(`unknown dims "${dims}" (compact, tiny or mini)`);
  if (!['none', 'zero', 'random'].includes(weights)) throw new Error(`unknown weights "${weights}" (none, zero or random)`);

  const h = { nVocab, ...d, nMels, ftype };
  const head = Buffer.alloc(4 * 12);
  head.writeUInt32LE(GGML_MAGIC, 0);
  HEADER_FIELDS.forEach((field, i) => head.writeInt32LE(h[field], 4 + 4 * i));
  for (const [field, value] of Object.entries(header)) head.writeInt32LE(value, headerOffset(field));

  const f = melFilters(nMels);
  const rows = filters.rows ?? f.nMels;
  const width = filters.width ?? f.nFft;
  const bank = Buffer.alloc(8 + 4 * rows * width);
  bank.writeInt32LE(rows, 0);
  bank.writeInt32LE(width, 4);
  if (rows === f.nMels && width === f.nFft) f.data.forEach((v, i) => bank.writeFloatLE(v, 8 + 4 * i));

  const tokens = vocabulary();
  for (let i = 0; i < extraTokens; i++) tokens.push(Buffer.from(`w${i}`));
  const parts = [head, bank, int32(tokens.length)];
  for (const t of tokens) parts.push(uint32(t.length), t);
  if (weights !== 'none') {
    const next = rng(seed);
    for (const t of expectedTensors(h)) {
      if (!omitTensors.includes(t.name)) parts.push(tensorRecord(t, weights, next));
    }
  }
  return Buffer.concat(parts);
}

/**
 * Writes a test model file and returns its size in bytes.
 * @param {string} file
 * @param {Parameters<typeof makeTestModel>[0]} [options]
 */
export function writeTestModel(file, options) {
  const bytes = makeTestModel(options);
  writeFileSync(file, bytes);
  return bytes.length;
}

function int32(v) { const b = Buffer.alloc(4); b.writeInt32LE(v); return b; }
function uint32(v) { const b = Buffer.alloc(4); b.writeUInt32LE(v); return b; }

const USAGE = 'usage: node make-test-model.mjs --variant multilingual|english --out FILE [--dims compact|tiny|mini]'
  + ' [--mels N] [--ftype N] [--weights none|zero|random] [--seed N]';

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
    else if (a === '--mels') opts.nMels = integer(a, value());
    else if (a === '--ftype') opts.ftype = integer(a, value());
    else if (a === '--weights') opts.weights = value();
    else if (a === '--seed') opts.seed = integer(a, value());
    else if (a === '--help' || a === '-h') { console.log(USAGE); return 0; }
    else throw new Error(`unknown argument "${a}"`);
  }
  if (!opts.variant || !opts.out) throw new Error('--variant and --out are required');
  const { out, ...options } = opts;
  const size = writeTestModel(out, options);
  const weights = !opts.weights || opts.weights === 'none' ? 'no weights' : `${opts.weights} weights`;
  console.log(`wrote ${out} (${opts.variant}, ${VARIANTS[opts.variant]} tokens, ${size} bytes, ${weights})`);
  return 0;
}

function integer(flag, text) {
  if (!/^-?\d+$/.test(text)) throw new Error(`${flag} needs an integer`);
  return Number(text);
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
