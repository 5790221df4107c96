// A stand-in for the engine executable: the same frames and reply lines with a
// toy model, so the client can be tested without a build. It reports each frame
// on stderr as "frame [K,N]" (kind, payload bytes); a result's text is "samples=N first=F last=L".
// Load: a missing file is MODEL_MISSING, a file named *.not-a-model MODEL_INVALID (its log line with
// the engine's reason comes after the reply: the two pipes are read in either order). Languages: en, de, fr.
// Misbehaviour on request (environment):
//   FAKE_HELLO=LINE      write LINE instead of the hello ("" writes none)
//   FAKE_DIE_ON=K        exit with code 3 when a frame of kind K arrives
//   FAKE_BLOCK_ON=K:MS   read nothing for MS ms once a frame of kind K arrives
//   FAKE_PONGS=0,2       answer the first ping with 0 pongs, the second with 2, ...

import { existsSync } from 'node:fs';
import path from 'node:path';

const env = process.env;
const reply = (obj) => process.stdout.write(`${JSON.stringify(obj)}\n`);
const error = (code, requestId) => reply({ type: 'error', code, requestId });
const exit = () => process.stdout.write('', () => process.exit(0));
const [blockKind, blockMs] = (env.FAKE_BLOCK_ON ?? ':').split(':');
const pongs = env.FAKE_PONGS?.split(',').map(Number) ?? [];
let loaded = false;
let active = null; // { requestId, count, first, last }

function handle(kind, payload) {
  process.stderr.write(`frame [${kind},${payload.length}]\n`);
  if (String(kind) === env.FAKE_DIE_ON) {
    process.stderr.write('fake engine: simulated crash\n');
    process.exit(3);
  }
  if (String(kind) === blockKind) Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, Number(blockMs));
  // A payload the client cannot have meant throws, and the engine "crashes".
  const o = kind === 3 || payload.length === 0 ? {} : JSON.parse(payload);
  if (Object.keys(o).length !== ({ 1: 6, 2: 3, 4: 1, 5: 1 }[kind] ?? 0) || (kind === 1 && o.version !== 2)) {
    return error('BAD_FRAME');
  }
  if (kind === 1 || kind === 6) [loaded, active] = [false, null];
  switch (kind) {
    case 1:
      if (!existsSync(o.modelPath)) return error('MODEL_MISSING');
      if (o.modelPath.endsWith('.not-a-model')) {
        error('MODEL_INVALID');
        return void setTimeout(() => process.stderr.write('quillet-whisper: model file refused: not a whisper.cpp model file (magic)\n'), 50);
      }
      loaded = true;
      process.stderr.write(`load ${path.basename(o.modelPath)} ${JSON.stringify({ ...o, modelPath: undefined })}\n`);
      return reply({ type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false });
    case 2:
      if (!loaded) return error('NOT_LOADED', o.requestId);
      if (active) return error('BUSY', o.requestId);
      if (!['auto', 'en', 'de', 'fr'].includes(o.language)) return error('LANGUAGE_UNSUPPORTED', o.requestId);
      active = { requestId: o.requestId, count: 0 };
      return void process.stderr.write(`begin ${payload}\n`);
    case 3: {
      const req = active;
      if (!req) return error('NO_REQUEST');
      req.count += payload.length / 4;
      req.first ??= payload.readFloatLE(0);
      req.last = payload.readFloatLE(payload.length - 4);
      if (req.count > 9600000) active = null;
      return active ? undefined : error('AUDIO_TOO_LONG', req.requestId);
    }
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
      return reply({ type: 'unloaded' });
    case 7:
      for (let i = pongs.shift() ?? 1; i > 0; i--) reply({ type: 'pong' });
      return undefined;
    case 8:
      return exit();
  }
}

if (env.FAKE_HELLO === undefined) reply({ type: 'hello', version: 2, whisper: 'v0.0.0+fake', backends: ['cuda', 'cpu'] });
else if (env.FAKE_HELLO) process.stdout.write(`${env.FAKE_HELLO}\n`);

let buffered = Buffer.alloc(0);
process.stdin.on('data', (chunk) => {
  buffered = Buffer.concat([buffered, chunk]);
  while (buffered.length >= 4 && buffered.length >= 4 + buffered.readUInt32LE(0)) {
    const end = 4 + buffered.readUInt32LE(0);
    handle(buffered[4], buffered.subarray(5, end));
    buffered = buffered.subarray(end);
  }
});
process.stdin.on('end', exit);
