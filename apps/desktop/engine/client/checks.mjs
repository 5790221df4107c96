// Argument checks made before anything is sent. The engine answers a bad
// field with a bare BAD_FRAME that names nothing, so the client refuses such
// calls itself, with the Node error classes and codes hosts already know.

import { MAX_REQUEST_ID } from './protocol.mjs';

// The engine reads at most this many bytes of JSON per control frame.
export const MAX_CONTROL_BYTES = 8192;
export const MAX_PROMPT_UNITS = 2048;
export const MAX_MODEL_PATH_UNITS = 4096;
export const MAX_THREADS = 8;
export const MAX_SHORT_AUDIO_CTX = 1500;
export const DEVICES = Object.freeze(['auto', 'cpu', 'cuda', 'vulkan', 'metal']);

export function typeError(message) {
  const err = new TypeError(message);
  err.code = 'ERR_INVALID_ARG_TYPE';
  return err;
}

export function rangeError(message) {
  const err = new RangeError(message);
  err.code = 'ERR_OUT_OF_RANGE';
  return err;
}

// The reason an aborted call rejects with, as Node's own APIs do.
export function abortReason(signal) {
  return signal.reason ?? Object.assign(new Error('The operation was aborted'), { name: 'AbortError', code: 'ABORT_ERR' });
}

export function checkSignal(signal) {
  if (signal !== undefined && (signal === null || typeof signal.aborted !== 'boolean' ||
      typeof signal.addEventListener !== 'function')) {
    throw typeError('signal must be an AbortSignal');
  }
}

function integerIn(name, value, min, max) {
  if (typeof value !== 'number') throw typeError(`${name} must be a number, got ${typeof value}`);
  if (!Number.isInteger(value) || value < min || value > max) {
    throw rangeError(`${name} must be an integer from ${min} to ${max}, got ${value}`);
  }
}

export function checkRequestId(value) {
  integerIn('requestId', value, 0, MAX_REQUEST_ID);
}

// A high surrogate without its low half, or a low one without its high half
// (String.prototype.isWellFormed is missing from Node 20).
const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// Throws on the first field the engine would refuse; returns the payload.
export function checkLoad({ modelPath, device, threads, shortWindowSamples, shortAudioCtx }) {
  if (typeof modelPath !== 'string' || modelPath === '') throw typeError('modelPath must be a non-empty string');
  if (modelPath.length > MAX_MODEL_PATH_UNITS) {
    throw rangeError(`modelPath must be at most ${MAX_MODEL_PATH_UNITS} UTF-16 code units, got ${modelPath.length}`);
  }
  // The engine would read it as U+FFFD and could open another, existing file.
  const lone = modelPath.search(LONE_SURROGATE);
  if (lone >= 0) {
    const unit = modelPath.charCodeAt(lone).toString(16).toUpperCase();
    throw rangeError(`modelPath must be well-formed UTF-16, but has an unpaired surrogate (U+${unit}) at index ${lone}`);
  }
  if (!DEVICES.includes(device)) throw rangeError(`device must be one of ${DEVICES.join(', ')}, got ${JSON.stringify(device)}`);
  integerIn('threads', threads, 1, MAX_THREADS);
  integerIn('shortWindowSamples', shortWindowSamples, 0, MAX_REQUEST_ID);
  integerIn('shortAudioCtx', shortAudioCtx, 0, MAX_SHORT_AUDIO_CTX);
}

export function checkBegin({ requestId, language, prompt }) {
  checkRequestId(requestId);
  if (typeof language !== 'string') throw typeError('language must be a string');
  if (!/^[a-z]{2,4}$/.test(language)) {
    throw rangeError(`language must be 2 to 4 lower-case letters a-z (e.g. "en") or "auto", got ${JSON.stringify(language)}`);
  }
  if (typeof prompt !== 'string') throw typeError('prompt must be a string');
  if (prompt.length > MAX_PROMPT_UNITS) {
    throw rangeError(`prompt must be at most ${MAX_PROMPT_UNITS} UTF-16 code units, got ${prompt.length}`);
  }
}

// Control characters are escaped six bytes each, so a path or prompt within
// its length limit can still overflow the engine's JSON cap.
export function checkControlSize(field, json) {
  const bytes = Buffer.byteLength(json, 'utf8');
  if (bytes > MAX_CONTROL_BYTES) {
    throw rangeError(`${field} is too long once encoded: the message would be ${bytes} bytes, at most ${MAX_CONTROL_BYTES}`);
  }
}

/**
 * 16 kHz mono samples as the float32 the engine reads: a Float32Array as is,
 * an Int16Array (16-bit PCM) scaled to -1..1. Anything else is refused rather
 * than guessed at: raw bytes or a number array have no agreed scale.
 */
export function toFloat32(samples) {
  if (samples instanceof Float32Array) return samples;
  if (samples instanceof Int16Array) {
    const out = new Float32Array(samples.length);
    for (let i = 0; i < samples.length; i++) out[i] = samples[i] / 32768;
    return out;
  }
  const what = samples === null ? 'null'
    : ArrayBuffer.isView(samples) || Array.isArray(samples) ? samples.constructor.name : typeof samples;
  throw typeError(`samples must be a Float32Array (-1..1) or an Int16Array (16-bit PCM), got ${what}` +
    (Buffer.isBuffer(samples) || samples instanceof Uint8Array
      ? '; for 16-bit PCM bytes pass new Int16Array(buf.buffer, buf.byteOffset, buf.byteLength / 2)' : ''));
}
