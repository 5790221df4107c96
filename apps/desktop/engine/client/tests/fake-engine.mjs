// A stand-in for the engine executable: the same frames and reply lines with a
// toy model, so the client can be tested without a build. It checks only what
// the client's tests provoke, and reports each frame on stderr as
// "frame kind=K bytes=N". Result text: "samples=N first=F last=L".
//
// Misbehaviour on request (environment):
//   FAKE_HELLO=LINE      write LINE instead of the hello ("" writes none)
//   FAKE_DIE_ON=K        exit with code 3 when a frame of kind K arrives
//   FAKE_BLOCK_ON=K:MS   read nothing for MS ms once a frame of kind K arrives
//   FAKE_PONGS=0,2       answer the first ping with 0 pongs, the second with 2, ...
// Load: a missing file is MODEL_MISSING, device "cuda" GPU_UNAVAILABLE.
// Languages: en, de, fr.

import { existsSync } from 'node:fs';
import path from 'node:path';

const env = process.env;
const reply = (obj) => process.stdout.write(`${JSON.stringify(obj)}\n`);
const error = (code, requestId) => reply({ type: 'error', code, requestId });
const [blockKind, blockMs] = (env.FAKE_BLOCK_ON ?? ':').split(':');
const pongs = env.FAKE_PONGS?.split(',').map(Number) ?? [];
let loaded = false;
let stopping = false;
let active = null; // { requestId, count, first, last }

function parse(payload, keys) {
  try {
    const o = JSON.parse(payload.toString('utf8'));
    return Object.keys(o).length === keys && (!('requestId' in o) || Number.isSafeInteger(o.requestId)) ? o : null;
  } catch {
    return null;
  }
}

function handle(kind, payload) {
  process.stderr.write(`frame kind=${kind} bytes=${payload.length}\n`);
  if (String(kind) === env.FAKE_DIE_ON) {
    process.stderr.write('fake engine: simulated crash\n');
    process.exit(3);
  }
  if (String(kind) === blockKind) Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, Number(blockMs));
  const o = [1, 2, 4, 5].includes(kind) ? parse(payload, { 1: 6, 2: 3 }[kind] ?? 1) : {};
  if (!o || (kind === 1 && o.version !== 2)) return error('BAD_FRAME');
  switch (kind) {
    case 1:
      loaded = false;
      active = null;
      if (!existsSync(o.modelPath)) return error('MODEL_MISSING');
      if (o.device === 'cuda') return error('GPU_UNAVAILABLE');
      loaded = true;
      process.stderr.write(`load ${path.basename(o.modelPath)} shortAudioCtx=${o.shortAudioCtx} shortWindowSamples=${o.shortWindowSamples}\n`);
      return reply({ type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false });
    case 2:
      if (!loaded) return error('NOT_LOADED', o.requestId);
      if (active) return error('BUSY', o.requestId);
      if (!['auto', 'en', 'de', 'fr'].includes(o.language)) return error('LANGUAGE_UNSUPPORTED', o.requestId);
      active = { requestId: o.requestId, count: 0 };
      return undefined;
    case 3:
      if (!active) return error('NO_REQUEST');
      active.count += payload.length / 4;
      if (active.count > 9600000) {
        error('AUDIO_TOO_LONG', active.requestId);
        active = null;
        return undefined;
      }
      active.first ??= payload.readFloatLE(0);
      active.last = payload.readFloatLE(payload.length - 4);
      return undefined;
    case 4: {
      const req = active;
      if (req?.requestId !== o.requestId) return error('NO_REQUEST', o.requestId);
      active = null;
      const text = `samples=${req.count} first=${req.first ?? 'none'} last=${req.last ?? 'none'}`;
      return reply({ type: 'result', requestId: req.requestId, text, decodeMs: 2, audioMs: Math.floor(req.count / 16) });
    }
    case 5:
      if (active?.requestId === o.requestId) active = null;
      return undefined;
    case 6:
      loaded = false;
      active = null;
      return reply({ type: 'unloaded' });
    case 7:
      for (let i = pongs.shift() ?? 1; i > 0; i--) reply({ type: 'pong' });
      return undefined;
    case 8:
      stopping = true;
      return process.stdout.write('', () => process.exit(0));
    default:
      return error('BAD_FRAME');
  }
}

if (env.FAKE_HELLO === undefined) reply({ type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });
else if (env.FAKE_HELLO) process.stdout.write(`${env.FAKE_HELLO}\n`);

let buffered = Buffer.alloc(0);
process.stdin.on('data', (chunk) => {
  buffered = Buffer.concat([buffered, chunk]);
  while (!stopping && buffered.length >= 4 && buffered.length >= 4 + buffered.readUInt32LE(0)) {
    const end = 4 + buffered.readUInt32LE(0);
    handle(buffered[4], buffered.subarray(5, end));
    buffered = buffered.subarray(end);
  }
});
process.stdin.on('end', () => process.stdout.write('', () => process.exit(0)));
