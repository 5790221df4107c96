// Drives the built engine (QUILLET_WHISPER_BIN) as the host would: frames in,
// exact bytes out; under QUILLET_WHISPER_PREFIX, a command such as an emulator.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const engineBin = process.env.QUILLET_WHISPER_BIN || resolve(here, '../../../../../build/linux/bin/quillet-whisper');
const prefix = (process.env.QUILLET_WHISPER_PREFIX || '').split(' ').filter(Boolean);
// /proc of the engine itself is only at hand when it runs directly on Linux.
export const procVisible = process.platform === 'linux' && prefix.length === 0;
// The allocation shim refuses one exact size (Linux without sanitizers).
export const shim = process.env.QUILLET_TEST_FAIL_ALLOC;
export const noShim = !shim || !existsSync(shim) || !procVisible ? 'no allocation shim in this build' : false;
export const failAlloc = (bytes) => ({ LD_PRELOAD: shim, QUILLET_TEST_FAIL_ALLOC_SIZE: String(bytes) });

export const HELLO_CPU = '{"type":"hello","version":2,"whisper":"v1.9.5+d1be6fd","backends":["cpu"]}\n';
export const PONG = '{"type":"pong"}\n';
export const UNLOADED = '{"type":"unloaded"}\n';
export const READY = /^\{"type":"ready","version":2,"device":"cpu","loadMs":\d+,"fallback":false\}$/;

export const Kind = Object.freeze({ Load: 1, Begin: 2, Audio: 3, Finish: 4, Cancel: 5, Unload: 6, Ping: 7, Shutdown: 8 });

export const rawLength = (n) => Buffer.from(Uint32Array.of(n).buffer);
export const frame = (kind, payload = '') => Buffer.concat([rawLength(Buffer.from(payload).length + 1), Buffer.from([kind]), Buffer.from(payload)]);

export const json = (kind, obj) => frame(kind, JSON.stringify(obj));
export const begin = (requestId, language = 'en', prompt = '') => json(Kind.Begin, { requestId, language, prompt });
export const finish = (requestId) => json(Kind.Finish, { requestId });
export const cancel = (requestId) => json(Kind.Cancel, { requestId });

export const audio = (samples) => frame(Kind.Audio, Buffer.from(Float32Array.from(samples).buffer));

export const error = (code, id) => `{"type":"error","code":"${code}"${id === undefined ? '' : `,"requestId":${id}`}}\n`;

export const loadMsg = (modelPath, extra = {}) =>
  ({ version: 2, modelPath, device: 'cpu', threads: 1, shortWindowSamples: 0, shortAudioCtx: 0, ...extra });
export const load = (modelPath, extra) => json(Kind.Load, loadMsg(modelPath, extra));

/** Spawns the engine, under the command prefix when one is set; `shell`: a
 * POSIX redirection to start it with ('2>&-'); `stackKiB`: the main thread's
 * stack limit, where the engine runs directly (an .exe's is in its header). */
export function spawnEngine({ env = {}, args = [], bin = engineBin, shell, stackKiB } = {}) {
  let [cmd, ...argv] = prefix.length ? [...prefix, bin, ...args] : [bin, ...args];
  const limit = stackKiB && !prefix.length ? `ulimit -s ${stackKiB} && ` : '';
  if (shell || limit) [cmd, argv] = ['/bin/sh', ['-c', `${limit}exec "$0" "$@" ${shell ?? ''}`, cmd, ...argv]];
  return spawn(cmd, argv, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
}

/** Runs the engine over `input` (Buffer or array of Buffers) to its exit. */
export function runEngine(input, options) {
  return new Promise((resolvePromise, reject) => {
    const child = spawnEngine(options);
    const [out, err] = [[], []];
    const text = (chunks) => Buffer.concat(chunks).toString('utf8');
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('close', (code, signal) => resolvePromise({ code, signal, stdout: text(out), stderr: text(err) }));
    child.stdin.on('error', () => {}); // the engine may exit before reading everything
    child.stdin.end(Array.isArray(input) ? Buffer.concat(input) : input);
  });
}

/** Lines of stdout after the hello line, as text and parsed. */
export const replyLines = (r) => r.stdout.split('\n').filter(Boolean).slice(1);
export const replies = (r) => replyLines(r).map((l) => JSON.parse(l));
/** The same as [code or type, requestId] pairs. */
export const outcomes = (r) => replies(r).map((l) => [l.code ?? l.type, l.requestId]);

/** A folder removed when the test (or, without one, the file's tests) ends. */
export function tempDir(t = { after }) {
  const dir = mkdtempSync(join(tmpdir(), 'quillet-engine-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

export const openFds = (pid) => readdirSync(`/proc/${pid}/fd`).length;

/** A LiveEngine past its hello line, closed when the test ends. */
export async function liveEngine(t, options) {
  const engine = new LiveEngine(options);
  t.after(() => engine.close());
  assert.match(await engine.next(), /"type":"hello"/);
  return engine;
}

/** A running engine driven one exchange at a time. */
export class LiveEngine {
  constructor(options) {
    this.child = spawnEngine(options);
    this.lines = [];
    this.waiters = [];
    this.stderr = '';
    let buffer = '';
    this.child.stdout.setEncoding('utf8').on('data', (d) => {
      const parts = (buffer + d).split('\n');
      buffer = parts.pop();
      this.lines.push(...parts);
      this.#wake();
    });
    this.child.stderr.setEncoding('utf8').on('data', (d) => { this.stderr = (this.stderr + d).slice(-20000); });
    this.exited = new Promise((done) => this.child.on('close', (code) => {
      this.closed = true;
      this.#wake();
      done(code);
    }));
  }

  #wake() {
    while (this.waiters.length && (this.lines.length || this.closed)) this.waiters.shift()(this.lines.shift() ?? null);
  }

  send(...frames) { this.child.stdin.write(Buffer.concat(frames)); }

  /** The next reply line, or null once the engine has exited. */
  next() { return new Promise((done) => { this.waiters.push(done); this.#wake(); }); }

  /** Sends frames and waits for the next reply line. */
  ask(...frames) { this.send(...frames); return this.next(); }

  close() { this.child.stdin.end(); return this.exited; }
}
