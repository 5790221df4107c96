// Drives the built engine (QUILLET_WHISPER_BIN) as the host would: frames in,
// exact bytes out; under QUILLET_WHISPER_PREFIX, a command such as an emulator.
import { spawn } from 'node:child_process';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const engineBin = process.env.QUILLET_WHISPER_BIN || resolve(here, '../../../../../build/linux/bin/quillet-whisper');
const prefix = (process.env.QUILLET_WHISPER_PREFIX || '').split(' ').filter(Boolean);
// /proc of the engine itself is only at hand when it runs directly on Linux.
export const procVisible = process.platform === 'linux' && prefix.length === 0;

export const HELLO_CPU = '{"type":"hello","version":2,"whisper":"v1.9.5+d1be6fd","backends":["cpu"]}\n';
export const PONG = '{"type":"pong"}\n';
export const UNLOADED = '{"type":"unloaded"}\n';
export const READY = /^\{"type":"ready","version":2,"device":"cpu","loadMs":\d+,"fallback":false\}$/;

export const Kind = Object.freeze({ Load: 1, Begin: 2, Audio: 3, Finish: 4, Cancel: 5, Unload: 6, Ping: 7, Shutdown: 8 });

export function rawLength(n) {
  const b = Buffer.alloc(4);
  b.writeUInt32LE(n >>> 0, 0);
  return b;
}

export function frame(kind, payload = Buffer.alloc(0)) {
  const body = Buffer.from(payload);
  return Buffer.concat([rawLength(body.length + 1), Buffer.from([kind]), body]);
}

export const json = (kind, obj) => frame(kind, JSON.stringify(obj));
export const begin = (requestId, language = 'en', prompt = '') => json(Kind.Begin, { requestId, language, prompt });
export const finish = (requestId) => json(Kind.Finish, { requestId });
export const cancel = (requestId) => json(Kind.Cancel, { requestId });

export function audio(samples) {
  const f = Float32Array.from(samples);
  return frame(Kind.Audio, Buffer.from(f.buffer, f.byteOffset, f.byteLength));
}

export const error = (code, id) => `{"type":"error","code":"${code}"${id === undefined ? '' : `,"requestId":${id}`}}\n`;

export function loadMsg(modelPath, extra = {}) {
  return { version: 2, modelPath, device: 'cpu', threads: 1, shortWindowSamples: 0, shortAudioCtx: 0, ...extra };
}
export const load = (modelPath, extra) => json(Kind.Load, loadMsg(modelPath, extra));

/** Spawns the engine, under the command prefix when one is set. */
export function spawnEngine({ env = {}, args = [], bin = engineBin } = {}) {
  const cmd = prefix.length ? prefix[0] : bin;
  const argv = prefix.length ? [...prefix.slice(1), bin, ...args] : args;
  return spawn(cmd, argv, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
}

/** Runs the engine over `input` (Buffer or array of Buffers) to its exit. */
export function runEngine(input, { env = {}, args = [], bin = engineBin } = {}) {
  const bytes = Array.isArray(input) ? Buffer.concat(input) : input;
  return new Promise((resolvePromise, reject) => {
    const child = spawnEngine({ env, args, bin });
    const out = [];
    const err = [];
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('close', (code, signal) => {
      const stdoutBytes = Buffer.concat(out);
      resolvePromise({ code, signal, stdoutBytes, stdout: stdoutBytes.toString('utf8'), stderr: Buffer.concat(err).toString('utf8') });
    });
    child.stdin.on('error', () => {}); // the engine may exit before reading everything
    child.stdin.end(bytes);
  });
}

/** Lines of stdout after the hello line, parsed. */
export function replies(result) {
  return result.stdout.split('\n').filter(Boolean).slice(1).map((l) => JSON.parse(l));
}

export function tempDir(t) {
  const dir = mkdtempSync(join(tmpdir(), 'quillet-engine-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

export const openFds = (pid) => readdirSync(`/proc/${pid}/fd`).length;

/** A running engine driven one exchange at a time. */
export class LiveEngine {
  constructor(options) {
    this.child = spawnEngine(options);
    this.buffer = '';
    this.waiters = [];
    this.lines = [];
    this.stderr = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (d) => {
      this.buffer += d;
      let i;
      while ((i = this.buffer.indexOf('\n')) >= 0) {
        this.lines.push(this.buffer.slice(0, i));
        this.buffer = this.buffer.slice(i + 1);
      }
      this.#wake();
    });
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (d) => { this.stderr = (this.stderr + d).slice(-20000); }); // long runs log a lot
    this.exited = new Promise((done) => this.child.on('close', (code) => {
      this.closed = true;
      this.#wake();
      done(code);
    }));
  }

  #wake() {
    while (this.waiters.length && (this.lines.length || this.closed)) {
      this.waiters.shift()(this.lines.length ? this.lines.shift() : null);
    }
  }

  send(...frames) {
    this.child.stdin.write(Buffer.concat(frames));
  }

  /** The next reply line, or null once the engine has exited. */
  next() {
    return new Promise((done) => {
      this.waiters.push(done);
      this.#wake();
    });
  }

  /** Sends frames and waits for the next reply line. */
  ask(...frames) {
    this.send(...frames);
    return this.next();
  }

  close() {
    this.child.stdin.end();
    return this.exited;
  }
}
