// Drives the built engine as the host would: frames in, exact bytes out.
// QUILLET_WHISPER_BIN names the executable; QUILLET_WHISPER_PREFIX, when
// set, is a command to run it under (for example a Windows emulator).
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const repoRoot = resolve(here, '../../../../..');
export const engineBin = process.env.QUILLET_WHISPER_BIN || join(repoRoot, 'build/linux/bin/quillet-whisper');
const prefix = (process.env.QUILLET_WHISPER_PREFIX || '').split(' ').filter(Boolean);

export const HELLO_CPU = '{"type":"hello","version":2,"whisper":"v1.9.5+d1be6fd","backends":["cpu"]}\n';
export const PONG = '{"type":"pong"}\n';
export const UNLOADED = '{"type":"unloaded"}\n';

export const Kind = Object.freeze({ Load: 1, Begin: 2, Audio: 3, Finish: 4, Cancel: 5, Unload: 6, Ping: 7, Shutdown: 8 });

export function frame(kind, payload = Buffer.alloc(0)) {
  const body = typeof payload === 'string' ? Buffer.from(payload, 'utf8') : Buffer.from(payload);
  const head = Buffer.alloc(5);
  head.writeUInt32LE(body.length + 1, 0);
  head[4] = kind;
  return Buffer.concat([head, body]);
}

export function rawLength(n) {
  const b = Buffer.alloc(4);
  b.writeUInt32LE(n >>> 0, 0);
  return b;
}

export const json = (kind, obj) => frame(kind, JSON.stringify(obj));

export function audio(samples) {
  const f = Float32Array.from(samples);
  return frame(Kind.Audio, Buffer.from(f.buffer, f.byteOffset, f.byteLength));
}

export function error(code, requestId) {
  return requestId === undefined
    ? `{"type":"error","code":"${code}"}\n`
    : `{"type":"error","code":"${code}","requestId":${requestId}}\n`;
}

export function loadMsg(modelPath, extra = {}) {
  return { version: 2, modelPath, device: 'cpu', threads: 2, shortWindowSamples: 0, shortAudioCtx: 0, ...extra };
}

// The engine's own log lines end in a bare line feed on Windows too (its
// stderr is binary), so they are compared as they come.
const diagnostics = (text) => text;

/** Spawns the engine, under the command prefix when one is set. */
export function spawnEngine({ env = {}, args = [], bin = engineBin, stdio = ['pipe', 'pipe', 'pipe'] } = {}) {
  const cmd = prefix.length ? prefix[0] : bin;
  const argv = prefix.length ? [...prefix.slice(1), bin, ...args] : args;
  return spawn(cmd, argv, { env: { ...process.env, ...env }, stdio });
}

/** Runs the engine over `input` (Buffer or array of Buffers) to its exit. */
export function runEngine(input, { env = {}, args = [], bin = engineBin, timeoutMs = 60000, stdio } = {}) {
  const bytes = Array.isArray(input) ? Buffer.concat(input) : input;
  return new Promise((resolvePromise, reject) => {
    const child = spawnEngine({ env, args, bin, stdio });
    const out = [];
    const err = [];
    child.stdout?.on('data', (d) => out.push(d));
    child.stderr?.on('data', (d) => err.push(d));
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('error', reject);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolvePromise({
        code,
        signal,
        stdout: Buffer.concat(out).toString('utf8'),
        stdoutBytes: Buffer.concat(out),
        stderr: diagnostics(Buffer.concat(err).toString('utf8'), bin),
      });
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

/** A running engine driven one exchange at a time. */
export class LiveEngine {
  constructor({ env = {}, args = [], bin = engineBin } = {}) {
    this.child = spawnEngine({ env, args, bin });
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
    this.child.stderr.on('data', (d) => {
      // Keep only the tail: long runs log a lot.
      this.stderr = diagnostics(this.stderr + d, bin).slice(-20000);
    });
    this.exited = new Promise((resolve) => this.child.on('close', (code) => {
      this.closed = true;
      this.#wake();
      resolve(code);
    }));
  }

  #wake() {
    while (this.waiters.length && (this.lines.length || this.closed)) {
      const w = this.waiters.shift();
      w(this.lines.length ? this.lines.shift() : null);
    }
  }

  send(...frames) {
    this.child.stdin.write(Buffer.concat(frames));
  }

  /** The next reply line, or null once the engine has exited. */
  next() {
    return new Promise((resolve) => {
      this.waiters.push(resolve);
      this.#wake();
    });
  }

  async close() {
    this.child.stdin.end();
    return this.exited;
  }
}
