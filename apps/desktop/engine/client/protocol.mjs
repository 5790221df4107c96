// Wire format of the quillet-whisper engine: request frames going in,
// JSON reply lines coming out, and the rules that tie a reply line to the
// frame that caused it. Pure functions only; the process handling lives in
// engine-client.mjs.

import os from 'node:os';

export const PROTOCOL_VERSION = 2;
export const SAMPLE_RATE = 16000;
export const MAX_SAMPLES_PER_FRAME = 480000;
export const MAX_REQUEST_SAMPLES = 9600000;
// Length field counts the kind byte plus the payload.
export const MAX_FRAME_LENGTH = 1 + MAX_SAMPLES_PER_FRAME * 4;
export const MAX_REQUEST_ID = Number.MAX_SAFE_INTEGER;

export const FrameKind = Object.freeze({
  Load: 1,
  Begin: 2,
  Audio: 3,
  Finish: 4,
  Cancel: 5,
  Unload: 6,
  Ping: 7,
  Shutdown: 8,
});

// The closed set of codes the engine may send.
export const ENGINE_ERROR_CODES = Object.freeze([
  'BAD_FRAME',
  'VERSION_MISMATCH',
  'MODEL_MISSING',
  'GPU_UNAVAILABLE',
  'MODEL_INVALID',
  'OUT_OF_MEMORY',
  'NOT_LOADED',
  'BUSY',
  'LANGUAGE_UNSUPPORTED',
  'NO_REQUEST',
  'AUDIO_TOO_LONG',
  'DECODE_FAILED',
  'INTERNAL',
]);

// Codes raised by the client itself, never by the engine.
export const CLIENT_ERROR_CODES = Object.freeze([
  'ENGINE_EXITED', // the process ended (or could not start) before answering
  'PROTOCOL_ERROR', // a reply line that no pending frame can explain
  'CANCELLED', // the caller cancelled the request
  'TIMEOUT', // no hello, or no answer to a load, in time
]);

const DESCRIPTIONS = {
  BAD_FRAME: 'the engine could not read the frame',
  VERSION_MISMATCH: 'the engine speaks another protocol version',
  MODEL_MISSING: 'the model file cannot be opened',
  GPU_UNAVAILABLE: 'the requested GPU family has no working device',
  MODEL_INVALID: 'the model file was refused',
  OUT_OF_MEMORY: 'the engine ran out of memory',
  NOT_LOADED: 'no model is loaded',
  BUSY: 'another request is active',
  LANGUAGE_UNSUPPORTED: 'the model does not support this language',
  NO_REQUEST: 'no such request is active',
  AUDIO_TOO_LONG: 'the request holds more than 10 minutes of audio',
  DECODE_FAILED: 'decoding failed',
  INTERNAL: 'internal engine error',
};

export class EngineError extends Error {
  constructor(code, message, requestId) {
    super(message);
    this.name = 'EngineError';
    this.code = code;
    if (requestId !== undefined) this.requestId = requestId;
  }
}

/** Turns an engine "error" line into an EngineError carrying its code and id. */
export function errorFromLine(line) {
  const code = typeof line.code === 'string' ? line.code : 'INTERNAL';
  const what = DESCRIPTIONS[code] ?? 'unknown engine error';
  const idPart = line.requestId !== undefined ? ` (request ${line.requestId})` : '';
  return new EngineError(code, `${code}: ${what}${idPart}`, line.requestId);
}

// The wire helpers' own argument errors, with the code the client's checks use.
function frameRangeError(message) {
  return Object.assign(new RangeError(message), { code: 'ERR_OUT_OF_RANGE' });
}

export function isValidRequestId(id) {
  return Number.isSafeInteger(id) && id >= 0;
}

/** One request frame: length (LE uint32, kind byte included), kind, payload. */
export function encodeFrame(kind, payload) {
  let body;
  if (payload === undefined || payload === null) body = Buffer.alloc(0);
  else if (typeof payload === 'string') body = Buffer.from(payload, 'utf8');
  else if (Buffer.isBuffer(payload)) body = payload;
  else if (payload instanceof Uint8Array) body = Buffer.from(payload.buffer, payload.byteOffset, payload.byteLength);
  else body = Buffer.from(JSON.stringify(payload), 'utf8');
  if (!Number.isInteger(kind) || kind < 0 || kind > 255) throw frameRangeError(`bad frame kind ${kind}`);
  if (1 + body.length > MAX_FRAME_LENGTH) throw frameRangeError(`frame of ${1 + body.length} bytes exceeds ${MAX_FRAME_LENGTH}`);
  const frame = Buffer.allocUnsafe(5 + body.length);
  frame.writeUInt32LE(1 + body.length, 0);
  frame[4] = kind;
  body.copy(frame, 5);
  return frame;
}

const littleEndianHost = os.endianness() === 'LE';

/** One Audio frame holding samples[start, end) as little-endian float32. */
export function encodeAudioFrame(samples, start = 0, end = samples.length) {
  const n = end - start;
  if (n <= 0 || n > MAX_SAMPLES_PER_FRAME) throw frameRangeError(`audio frame of ${n} samples`);
  const frame = Buffer.allocUnsafe(5 + n * 4);
  frame.writeUInt32LE(1 + n * 4, 0);
  frame[4] = FrameKind.Audio;
  if (littleEndianHost) {
    // Float32Array memory already is little-endian float32: one copy.
    frame.set(new Uint8Array(samples.buffer, samples.byteOffset + start * 4, n * 4), 5);
  } else {
    for (let i = 0; i < n; i++) frame.writeFloatLE(samples[start + i], 5 + i * 4);
  }
  return frame;
}

/** Boundaries [start, end) of the Audio frames that carry `total` samples. */
export function audioChunks(total, maxPerFrame = MAX_SAMPLES_PER_FRAME) {
  const chunks = [];
  for (let start = 0; start < total; start += maxPerFrame) {
    chunks.push([start, Math.min(total, start + maxPerFrame)]);
  }
  return chunks;
}

/**
 * Splits the engine's stdout into lines. Chunks may end anywhere, even inside
 * a multi-byte character, so bytes are kept until a line feed arrives and each
 * line is decoded whole.
 */
export class LineSplitter {
  constructor(maxLineBytes = 1 << 20) {
    this.maxLineBytes = maxLineBytes;
    this.pending = [];
    this.pendingBytes = 0;
  }

  /** Returns the complete lines (without the line feed) that `chunk` finishes. */
  push(chunk) {
    const lines = [];
    let from = 0;
    for (;;) {
      const at = chunk.indexOf(0x0a, from);
      if (at < 0) break;
      const piece = chunk.subarray(from, at);
      const whole = this.pending.length ? Buffer.concat([...this.pending, piece]) : piece;
      this.pending = [];
      this.pendingBytes = 0;
      lines.push(whole.toString('utf8'));
      from = at + 1;
    }
    if (from < chunk.length) {
      this.pendingBytes += chunk.length - from;
      if (this.pendingBytes > this.maxLineBytes) {
        throw new EngineError('PROTOCOL_ERROR', `reply line longer than ${this.maxLineBytes} bytes`);
      }
      // Copy: the caller may reuse the chunk's memory.
      this.pending.push(Buffer.from(chunk.subarray(from)));
    }
    return lines;
  }

  /** Bytes received after the last line feed (an unterminated line). */
  get remainder() {
    return this.pendingBytes;
  }
}

/** Parses one reply line; anything but a JSON object with a string "type" is a protocol error. */
export function parseReplyLine(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    throw new EngineError('PROTOCOL_ERROR', `engine wrote a line that is not JSON: ${JSON.stringify(text.slice(0, 200))}`);
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value) || typeof value.type !== 'string') {
    throw new EngineError('PROTOCOL_ERROR', `engine wrote an unexpected line: ${text.slice(0, 200)}`);
  }
  return value;
}

const ANY_FRAME_FAILURE = ['OUT_OF_MEMORY', 'INTERNAL'];

/**
 * Decides whether `line` can be the answer to a sent frame described by
 * `sent` ({kind, requestId}). The engine handles frames strictly in order and
 * some frames are answered only when they fail, so the reader walks the
 * frames in flight oldest first: a frame that always answers must own the next
 * line, while a frame that answers only on failure owns it only if it could
 * have produced it; otherwise that frame succeeded silently.
 */
export function replyOwner(sent, line) {
  const isError = line.type === 'error';
  const hasId = line.requestId !== undefined;
  const code = line.code;
  switch (sent.kind) {
    case FrameKind.Load:
      return line.type === 'ready' || (isError && !hasId);
    case FrameKind.Finish:
      if (line.type === 'result') return line.requestId === sent.requestId;
      if (!isError) return false;
      if (hasId) return line.requestId === sent.requestId && (code === 'NO_REQUEST' || code === 'DECODE_FAILED');
      return code === 'BAD_FRAME' || ANY_FRAME_FAILURE.includes(code);
    case FrameKind.Unload:
      return line.type === 'unloaded' || (isError && !hasId && code === 'BAD_FRAME');
    case FrameKind.Ping:
      return line.type === 'pong' || (isError && !hasId && code === 'BAD_FRAME');
    case FrameKind.Begin:
      if (!isError) return false;
      if (hasId) return line.requestId === sent.requestId && ['NOT_LOADED', 'BUSY', 'LANGUAGE_UNSUPPORTED'].includes(code);
      return code === 'BAD_FRAME' || ANY_FRAME_FAILURE.includes(code);
    case FrameKind.Audio:
      if (!isError) return false;
      if (hasId) return code === 'AUDIO_TOO_LONG' || code === 'OUT_OF_MEMORY';
      return code === 'BAD_FRAME' || code === 'NO_REQUEST' || ANY_FRAME_FAILURE.includes(code);
    case FrameKind.Cancel:
    case FrameKind.Shutdown:
      return isError && !hasId && (code === 'BAD_FRAME' || ANY_FRAME_FAILURE.includes(code));
    default:
      return isError && !hasId && code === 'BAD_FRAME';
  }
}

/** Frames that are answered even when they succeed. */
export function alwaysAnswered(kind) {
  return kind === FrameKind.Load || kind === FrameKind.Finish || kind === FrameKind.Unload || kind === FrameKind.Ping;
}
