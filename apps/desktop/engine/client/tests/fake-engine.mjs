// A stand-in for the engine executable: speaks the same frames and reply
// lines with a toy model, so the client can be tested without a build. It
// checks only what the client's tests provoke.
// Every frame it receives is reported on stderr as "frame kind=K bytes=N".
//
// Behaviour switches (environment):
//   FAKE_HELLO=none|version3|garbage   misbehave instead of the hello line
//   FAKE_DIE_ON=K       exit with code 3 when a frame of kind K arrives
//   FAKE_EXTRA_LINE=1   answer a ping with two pong lines
//   FAKE_SKIP_PONG=1    leave the first ping unanswered
//   FAKE_LOAD_MS=N, FAKE_DECODE_MS=N  block (read no frames) for N ms in
//                       Load, or in a Finish that decodes, as the engine does
// Load: a missing file is MODEL_MISSING, device "cuda" is GPU_UNAVAILABLE.
// Known languages: en, de, fr.
// Result text: "samples=N first=F last=L".

import { existsSync } from 'node:fs';
import path from 'node:path';

const env = process.env;

const writeRaw = (text) => process.stdout.write(text);
const reply = (obj) => writeRaw(`${JSON.stringify(obj)}\n`);
function error(code, requestId) {
  reply(requestId === undefined ? { type: 'error', code } : { type: 'error', code, requestId });
}
function exit(code) {
  process.stdout.write('', () => process.exit(code));
}

let loaded = false;
const block = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, Number(ms));
let stopping = false;
let skippedPong = false;
let active = null; // { requestId, language, prompt, samples: number[] }

function parseObject(payload) {
  try {
    const v = JSON.parse(payload.toString('utf8'));
    return v && typeof v === 'object' && !Array.isArray(v) ? v : null;
  } catch {
    return null;
  }
}
const isId = (v) => Number.isSafeInteger(v) && v >= 0;
function idOnly(payload) {
  const o = parseObject(payload);
  return o && Object.keys(o).length === 1 && isId(o.requestId) ? o.requestId : null;
}

function handle(kind, payload) {
  process.stderr.write(`frame kind=${kind} bytes=${payload.length}\n`);
  if (String(kind) === env.FAKE_DIE_ON) {
    process.stderr.write('fake engine: simulated crash\n');
    process.exit(3);
  }
  switch (kind) {
    case 1: {
      const o = parseObject(payload);
      if (!o || Object.keys(o).length !== 6 || o.version !== 2) return error('BAD_FRAME');
      loaded = false;
      active = null;
      if (env.FAKE_LOAD_MS) block(env.FAKE_LOAD_MS);
      if (!existsSync(o.modelPath)) return error('MODEL_MISSING');
      if (o.device === 'cuda') return error('GPU_UNAVAILABLE');
      loaded = true;
      process.stderr.write(`load ${path.basename(o.modelPath)} shortAudioCtx=${o.shortAudioCtx} shortWindowSamples=${o.shortWindowSamples}\n`);
      return reply({ type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false });
    }
    case 2: {
      const o = parseObject(payload);
      if (!o || Object.keys(o).length !== 3 || !isId(o.requestId) || typeof o.prompt !== 'string' ||
          typeof o.language !== 'string' || !/^[a-z]{2,4}$/.test(o.language)) return error('BAD_FRAME');
      if (!loaded) return error('NOT_LOADED', o.requestId);
      if (active) return error('BUSY', o.requestId);
      if (o.language !== 'auto' && !['en', 'de', 'fr'].includes(o.language)) return error('LANGUAGE_UNSUPPORTED', o.requestId);
      active = { requestId: o.requestId, prompt: o.prompt, samples: [] };
      return undefined;
    }
    case 3: {
      if (!active) return error('NO_REQUEST');
      const n = payload.length / 4;
      if ((active.count ?? 0) + n > 9600000) {
        const id = active.requestId;
        active = null;
        return error('AUDIO_TOO_LONG', id);
      }
      active.samples.push(payload.readFloatLE(0), payload.readFloatLE(payload.length - 4));
      active.count = (active.count ?? 0) + n;
      return undefined;
    }
    case 4: {
      const id = idOnly(payload);
      if (id === null) return error('BAD_FRAME');
      if (!active || active.requestId !== id) return error('NO_REQUEST', id);
      const req = active;
      active = null;
      if (env.FAKE_DECODE_MS) block(env.FAKE_DECODE_MS);
      const n = req.count ?? 0;
      const text = `samples=${n} first=${req.samples[0] ?? 'none'} last=${req.samples.at(-1) ?? 'none'}`;
      return reply({ type: 'result', requestId: id, text, decodeMs: 2, audioMs: Math.floor(n / 16) });
    }
    case 5: {
      const id = idOnly(payload);
      if (id === null) return error('BAD_FRAME');
      if (active && active.requestId === id) active = null;
      return undefined;
    }
    case 6:
      loaded = false;
      active = null;
      return reply({ type: 'unloaded' });
    case 7:
      if (env.FAKE_SKIP_PONG === '1' && !skippedPong) {
        skippedPong = true;
        return undefined;
      }
      reply({ type: 'pong' });
      if (env.FAKE_EXTRA_LINE === '1') reply({ type: 'pong' });
      return undefined;
    case 8:
      stopping = true;
      return exit(0);
    default:
      return error('BAD_FRAME');
  }
}

if (env.FAKE_HELLO === 'garbage') writeRaw('this is not json\n');
else if (env.FAKE_HELLO === 'version3') reply({ type: 'hello', version: 3, whisper: 'fake', backends: ['cpu'] });
else if (env.FAKE_HELLO !== 'none') reply({ type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });

let buffered = Buffer.alloc(0);
process.stdin.on('data', (chunk) => {
  buffered = Buffer.concat([buffered, chunk]);
  // The client never sends a bad length: it refuses to encode one.
  while (!stopping && buffered.length >= 4) {
    const length = buffered.readUInt32LE(0);
    if (buffered.length < 4 + length) break;
    const kind = buffered[4];
    const payload = buffered.subarray(5, 4 + length);
    buffered = buffered.subarray(4 + length);
    handle(kind, payload);
  }
});
process.stdin.on('end', () => exit(0));
