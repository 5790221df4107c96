// Node.js client for the quillet-whisper engine: starts the engine as a child
// process, writes request frames to its stdin and matches the JSON lines on
// its stdout to the calls that caused them. No dependencies beyond Node.

import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import os from 'node:os';

import {
  FrameKind,
  PROTOCOL_VERSION,
  EngineError,
  LineSplitter,
  alwaysAnswered,
  encodeFrame,
  errorFromLine,
  parseReplyLine,
  replyOwner,
} from './protocol.mjs';
import {
  abortReason,
  checkBegin,
  checkControlSize,
  checkLoad,
  checkRequestId,
  checkSignal,
  rangeError,
  toFloat32,
  typeError,
} from './checks.mjs';
import { Dictation } from './dictation.mjs';
import { enginePath as bundledEngine } from '../locate.mjs';

export * from './protocol.mjs';
export { Dictation } from './dictation.mjs';

const DEFAULT_STDERR_TAIL_BYTES = 64 * 1024;
// Generous: a large model read from a slow disk on a busy machine.
export const DEFAULT_LOAD_TIMEOUT_MS = 120000;

// Load failures that concern the file say which file.
// Before every MODEL_INVALID, the engine logs one line that says why.
const REFUSAL_LINE = /^quillet-whisper: model file refused: (.*)$/;
// The log line is written before the reply, but the two pipes are read
// separately; past this the reply goes out without its reason.
const REFUSAL_GRACE_MS = 2000;

function loadError(err, modelPath) {
  if (err.code === 'MODEL_MISSING' || err.code === 'MODEL_INVALID') {
    err.message = `${err.message}: ${modelPath}`;
    err.path = modelPath;
  }
  return err;
}

/**
 * Decode threads when the host names none: half the logical CPUs, but at
 * least 2 where there are 2, and at most 8. The speech library's
 * waiting threads sleep once a wait outlasts a short spin
 * (patches/whisper.cpp), so threads beyond the free cores slow a decode as
 * any other program would instead of collapsing it. Measured on 2 cores
 * (scripts/bench.sh contention, medians of 10 after half a second idle, two
 * runs on a machine shared with other builds): tiny.en on 11 s took 372-378
 * ms at 2 threads against 608-622 at 1 when quiet, 619-634 against 632-715
 * beside one busy loop and 893-972 against 1362-1390 beside two; the toy
 * model's 2 s dictation, whose steps are too short to gain from a second
 * thread, came out even (63-66 against 57-72 quiet, 123-127 against 117-162
 * beside two loops). Larger machines keep half (not measured here): mostly
 * one thread per physical core, whose second logical CPU adds little to the
 * library's vector work, and cores left to the rest of the desktop.
 * @param {number} [logicalCpus]
 */
export function defaultThreads(logicalCpus = os.availableParallelism()) {
  return Math.max(Math.min(2, logicalCpus), Math.min(8, Math.floor(logicalCpus / 2)));
}

/**
 * Starts the engine and resolves once its hello line has arrived. Without an
 * enginePath, the engine this package ships (enginePath() of the package).
 * @param {import('./engine-client').EngineOptions} [options]
 */
export function startEngine(options) {
  return EngineClient.start(options);
}

export class EngineClient extends EventEmitter {
  /** Starts the engine and resolves with a client once the hello arrived. */
  static async start(options) {
    const client = new EngineClient(options);
    await client.started;
    return client;
  }

  constructor(options = {}) {
    super();
    let { enginePath } = options;
    const {
      accelerators,
      extraArgs = [],
      env = process.env,
      cwd,
      stderr = 'collect',
      stderrTailBytes = DEFAULT_STDERR_TAIL_BYTES,
      helloTimeoutMs = 30000,
    } = options;
    if (enginePath === undefined) enginePath = bundledEngine();
    else if (typeof enginePath !== 'string' || enginePath === '') {
      throw typeError('enginePath must name the engine executable (or be left out for the bundled one)');
    }
    const args = [...extraArgs];
    if (accelerators !== undefined) args.push('--accelerators', String(accelerators));

    this.hello = null;
    this._inflight = []; // frames sent and not yet accounted for, oldest first
    this._dictations = new Map(); // requestId -> Dictation begun (or queued) and not yet settled
    this._lastDictation = null; // the newest dictation: the next one's Begin waits for its Finish or Cancel
    this._nextRequestId = 1;
    this._writeChain = Promise.resolve();
    this._dead = null; // the error every later call fails with, once the engine is gone
    this._exitInfo = null;
    this._splitter = new LineSplitter();
    this._stderrMode = stderr;
    this._stderrTailBytes = stderrTailBytes;
    this._stderrTail = '';
    this._stderrLines = stderr === 'collect' || typeof stderr === 'function' ? new LineSplitter(Infinity) : null;
    this._refusals = []; // reasons logged whose MODEL_INVALID has not been read yet
    this._refusalWaiters = []; // loads waiting for their reasons, in order
    this._lateRefusals = 0; // reasons given up on, to drop when they arrive

    let resolveStarted;
    let rejectStarted;
    this.started = new Promise((resolve, reject) => {
      resolveStarted = resolve;
      rejectStarted = reject;
    });
    this.started.catch(() => {}); // observed through start() or the first call
    this._resolveStarted = resolveStarted;
    this._rejectStarted = rejectStarted;

    let resolveExited;
    this.exited = new Promise((resolve) => {
      resolveExited = resolve;
    });
    this._resolveExited = resolveExited;

    const stderrStdio = stderr === 'inherit' ? 'inherit' : stderr === 'ignore' ? 'ignore' : 'pipe';
    this._child = spawn(enginePath, args, {
      cwd,
      env,
      stdio: ['pipe', 'pipe', stderrStdio],
      windowsHide: true,
    });
    this.pid = this._child.pid;

    this._child.stdin.on('error', () => {
      // EPIPE once the engine is gone; the close handler reports it.
    });
    this._child.stdout.on('data', (chunk) => this._onStdout(chunk));
    if (this._child.stderr) this._child.stderr.on('data', (chunk) => this._onStderr(chunk));
    this._child.on('error', (err) => {
      this._die(new EngineError('ENGINE_EXITED', `cannot run the engine ${enginePath}: ${err.message}`));
      // A process that never started emits no close event.
      if (this.pid === undefined) this._finishExit(null, null);
    });
    this._child.on('close', (code, signal) => this._finishExit(code, signal));

    this._helloTimer = setTimeout(() => {
      this._die(new EngineError('TIMEOUT', `engine sent no hello within ${helloTimeoutMs} ms`));
      this._child.kill('SIGKILL');
    }, helloTimeoutMs);
  }

  /** Diagnostics the engine wrote to stderr (the last bytes only), when collected. */
  get stderrTail() {
    return this._stderrTail;
  }

  /** True until the engine process has gone. */
  get alive() {
    return this._dead === null;
  }

  /**
   * Loads a model. Resolves with the "ready" reply; rejects with the engine's
   * code (MODEL_MISSING and MODEL_INVALID name the file). A load that is not
   * answered within timeoutMs (counted from when its frame is written) stops
   * the engine and rejects with TIMEOUT.
   */
  load({ modelPath, device = 'auto', threads, shortWindowSamples = 0, shortAudioCtx = 0, signal,
    timeoutMs = DEFAULT_LOAD_TIMEOUT_MS } = {}) {
    if (threads === undefined) threads = defaultThreads();
    // Key order does not matter to the engine; all six members are required.
    const message = { version: PROTOCOL_VERSION, modelPath, device, threads, shortWindowSamples, shortAudioCtx };
    try {
      checkLoad(message);
      checkControlSize('modelPath', JSON.stringify(message));
      checkSignal(signal);
      if (typeof timeoutMs !== 'number' || !(timeoutMs >= 0)) throw rangeError(`timeoutMs must be 0 (no limit) or more, got ${timeoutMs}`);
    } catch (err) {
      return Promise.reject(err);
    }
    return this._ask(FrameKind.Load, message, {
      signal,
      timeoutMs,
      onTimeout: () => this._stop(new EngineError('TIMEOUT',
        `the engine did not answer the load of ${modelPath} within ${timeoutMs} ms and was stopped`)),
      mapError: (err) => loadError(err, modelPath),
    }).catch(async (err) => {
      if (err instanceof EngineError && err.code === 'MODEL_INVALID' && !this._dead) {
        const reason = await this._takeRefusal();
        if (reason !== null) {
          err.reason = reason;
          err.message = `${err.message}: ${reason}`;
        }
      }
      throw err;
    });
  }

  /** Frees the loaded model (if any). Resolves with the "unloaded" reply. */
  unload({ signal } = {}) {
    return this._askChecked(FrameKind.Unload, signal);
  }

  /** Round trip through the engine; answered after every frame sent before it. */
  ping({ signal } = {}) {
    return this._askChecked(FrameKind.Ping, signal);
  }

  /**
   * Opens a dictation: sends Begin and resolves with a Dictation once the
   * engine has accepted it, so NOT_LOADED, BUSY and LANGUAGE_UNSUPPORTED
   * reject here, before any audio. A dictation of this client that has not
   * written its Finish or Cancel yet holds the engine: a later begin() waits for it.
   */
  begin({ requestId, language = 'auto', prompt = '', signal } = {}) {
    let dictation;
    try {
      checkSignal(signal);
      dictation = this._open(requestId, language, prompt, signal, true);
    } catch (err) {
      return Promise.reject(err);
    }
    return dictation._whenAccepted(signal);
  }

  /**
   * The one-call form: a dictation whose Begin, audio and Finish are queued
   * at once (not waiting for the Begin's acceptance). Resolves with the
   * "result" reply.
   */
  async transcribe({ requestId, language = 'auto', prompt = '', samples, signal } = {}) {
    checkSignal(signal);
    const data = toFloat32(samples);
    const dictation = this._open(requestId, language, prompt, signal, false);
    dictation._writeFloat(data).catch(() => {}); // a failure rejects finish() too
    return dictation.finish({ signal });
  }

  // Checks a dictation's fields, registers it and queues its Begin; throws
  // what the caller must reject with.
  _open(requestId, language, prompt, signal, confirm) {
    if (requestId === undefined) {
      do requestId = this._nextRequestId++;
      while (this._dictations.has(requestId));
    } else {
      checkRequestId(requestId);
      if (this._dictations.has(requestId)) throw rangeError(`requestId ${requestId} is already in progress`);
    }
    checkBegin({ requestId, language, prompt });
    const payload = JSON.stringify({ requestId, language, prompt });
    checkControlSize('prompt', payload);
    const unusable = this._unusable();
    if (unusable) throw unusable;
    if (signal?.aborted) throw abortReason(signal);
    const dictation = new Dictation(this, requestId, this._lastDictation, payload, confirm);
    this._lastDictation = dictation;
    this._dictations.set(requestId, dictation);
    return dictation;
  }

  /**
   * Cancels a request by id: a dictation of this client behaves as after its
   * cancel(); any other id is sent to the engine as is (it ignores ids it does
   * not hold). Resolves once the Cancel frame, if one is needed, is written.
   */
  cancel(requestId) {
    try {
      checkRequestId(requestId);
    } catch (err) {
      return Promise.reject(err);
    }
    const dictation = this._dictations.get(requestId);
    if (dictation) return dictation.cancel();
    const unusable = this._unusable();
    if (unusable) return Promise.reject(unusable);
    return this._enqueueWrite(async () => this._sendCancel(requestId));
  }

  /**
   * Asks the engine to shut down and waits for it to exit (killing it after
   * `timeoutMs`). Resolves with {code, signal}. Safe to call more than once.
   */
  async close({ timeoutMs = 5000 } = {}) {
    if (!this._exitInfo && !this._closing) {
      this._closing = true;
      if (!this._dead) {
        this._enqueueWrite(async () => {
          this._send({ kind: FrameKind.Shutdown, onReply: () => {}, onFail: () => {} }, encodeFrame(FrameKind.Shutdown));
          this._child.stdin.end();
        }).catch(() => {});
      }
    }
    const timer = setTimeout(() => this._child.kill('SIGKILL'), timeoutMs);
    try {
      return await this.exited;
    } finally {
      clearTimeout(timer);
    }
  }

  /** Ends the engine at once; pending calls reject with ENGINE_EXITED. */
  kill(signal = 'SIGKILL') {
    this._child.kill(signal);
    return this.exited;
  }

  // ---- internals ----

  _askChecked(kind, signal) {
    try {
      checkSignal(signal);
    } catch (err) {
      return Promise.reject(err);
    }
    return this._ask(kind, undefined, { signal });
  }

  // Sends a frame whose single answer is the whole result of the call. An
  // abort only stops the waiting: the frame may already be with the engine,
  // and its answer is then read and dropped.
  _ask(kind, payload, { signal, timeoutMs = 0, onTimeout, mapError = (err) => err } = {}) {
    const unusable = this._unusable();
    if (unusable) return Promise.reject(unusable);
    if (signal?.aborted) return Promise.reject(abortReason(signal));
    return new Promise((resolve, reject) => {
      let done = false;
      let timer;
      const onAbort = () => settle(reject, abortReason(signal));
      const settle = (fn, value) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        signal?.removeEventListener('abort', onAbort);
        fn(value);
      };
      signal?.addEventListener('abort', onAbort, { once: true });
      this._enqueueWrite(async () => {
        if (done) return; // aborted while queued: nothing is sent
        this._send({
          kind,
          onReply: (line) => (line.type === 'error' ? settle(reject, mapError(errorFromLine(line))) : settle(resolve, line)),
          onFail: (err) => settle(reject, err),
        }, encodeFrame(kind, payload));
        if (timeoutMs > 0 && onTimeout) timer = setTimeout(onTimeout, timeoutMs);
      }).catch((err) => settle(reject, err));
    });
  }

  _sendCancel(requestId) {
    this._send({ kind: FrameKind.Cancel, onReply: () => {}, onFail: () => {} }, encodeFrame(FrameKind.Cancel, { requestId }));
  }

  // Gives up on the engine: every pending call rejects with `err`.
  _stop(err) {
    this._die(err);
    this._child.kill('SIGKILL');
  }

  _unusable() {
    if (this._dead) return this._dead;
    if (this._closing) return new EngineError('ENGINE_EXITED', 'the engine is shutting down');
    return null;
  }

  // Writes are serialised so that the frames of one transcribe are never
  // interleaved with another call's frames.
  _enqueueWrite(task) {
    const run = this._writeChain.then(async () => {
      await this.started;
      if (this._dead) throw this._dead;
      await task();
    });
    this._writeChain = run.catch(() => {});
    return run;
  }

  // Records what a frame may be answered with before writing it, so that a
  // reply can never arrive ahead of its record.
  _send(entry, frame) {
    if (this._dead) throw this._dead;
    this._inflight.push(entry);
    this._child.stdin.write(frame);
  }

  // Waits while the pipe holds more than its high-water mark, so long audio
  // is not buffered whole in this process.
  _drained() {
    const stdin = this._child.stdin;
    if (this._dead || !stdin.writableNeedDrain) return Promise.resolve();
    return new Promise((resolve) => {
      const done = () => {
        stdin.off('drain', done);
        stdin.off('close', done);
        this.off('_gone', done);
        resolve();
      };
      stdin.on('drain', done);
      stdin.on('close', done);
      this.on('_gone', done);
    });
  }

  _onStdout(chunk) {
    let lines;
    try {
      lines = this._splitter.push(chunk);
    } catch (err) {
      this._protocolFailure(err);
      return;
    }
    for (const text of lines) {
      if (this._dead) return;
      try {
        this._onLine(parseReplyLine(text));
      } catch (err) {
        this._protocolFailure(err);
        return;
      }
    }
  }

  _onLine(line) {
    if (this.hello === null) {
      if (line.type !== 'hello') {
        throw new EngineError('PROTOCOL_ERROR', `engine's first line is "${line.type}", not hello`);
      }
      if (line.version !== PROTOCOL_VERSION) {
        throw new EngineError('PROTOCOL_ERROR', `engine speaks protocol version ${line.version}, this client ${PROTOCOL_VERSION}`);
      }
      clearTimeout(this._helloTimer);
      this.hello = line;
      this._resolveStarted(line);
      return;
    }
    try {
      this.emit('line', line);
    } catch (err) {
      // A failing listener is the caller's bug, not a protocol fault.
      queueMicrotask(() => {
        throw err;
      });
    }
    while (this._inflight.length > 0) {
      const entry = this._inflight[0];
      if (replyOwner(entry, line)) {
        this._inflight.shift();
        entry.onReply(line);
        return;
      }
      // A frame that is always answered must own the next line.
      if (alwaysAnswered(entry.kind)) break;
      // The line answers a later frame, so this one succeeded silently.
      this._inflight.shift();
    }
    throw new EngineError('PROTOCOL_ERROR', `engine wrote a line that answers no frame sent: ${JSON.stringify(line)}`);
  }

  // Beyond a line nobody can explain, the client and engine disagree about
  // what happened; neither side can recover, so the engine is stopped.
  _protocolFailure(err) {
    this._stop(err);
  }

  _onStderr(chunk) {
    if (this._stderrMode === 'ignore') return;
    const text = chunk.toString('utf8');
    this._stderrTail = (this._stderrTail + text).slice(-this._stderrTailBytes);
    if (this._stderrLines) {
      for (const line of this._stderrLines.push(chunk)) {
        const refused = REFUSAL_LINE.exec(line);
        if (refused) this._onRefusal(refused[1]);
        if (typeof this._stderrMode === 'function') this._stderrMode(line);
      }
    }
  }

  // Loads are answered in order and each MODEL_INVALID follows exactly one
  // refusal line, so the n-th line read belongs to the n-th refusal.
  _onRefusal(reason) {
    if (this._lateRefusals > 0) this._lateRefusals--;
    else if (this._refusalWaiters.length > 0) this._refusalWaiters.shift()(reason);
    else this._refusals.push(reason);
  }

  // The reason for the MODEL_INVALID just read, or null when the log is not
  // collected or does not say in time.
  _takeRefusal() {
    if (this._refusals.length > 0) return Promise.resolve(this._refusals.shift());
    if (!this._stderrLines) return Promise.resolve(null);
    return new Promise((resolve) => {
      const done = (reason) => {
        clearTimeout(timer);
        resolve(reason);
      };
      const timer = setTimeout(() => {
        this._refusalWaiters.splice(this._refusalWaiters.indexOf(done), 1);
        this._lateRefusals++;
        done(null);
      }, REFUSAL_GRACE_MS);
      this._refusalWaiters.push(done);
    });
  }

  _die(err) {
    if (this._dead) return;
    clearTimeout(this._helloTimer);
    this._dead = err;
    this._rejectStarted(err);
    const inflight = this._inflight;
    this._inflight = [];
    for (const entry of inflight) entry.onFail(err);
    for (const dictation of [...this._dictations.values()]) dictation._fail(err);
    for (const done of this._refusalWaiters.splice(0)) done(null);
    this.emit('_gone');
  }

  _finishExit(code, signal) {
    if (this._exitInfo) return;
    this._exitInfo = { code, signal };
    const how = signal ? `signal ${signal}` : `code ${code}`;
    const tail = this._stderrTail.trim().split('\n').slice(-5).join('\n');
    const why = this._closing ? 'after shutdown' : 'unexpectedly';
    this._die(new EngineError('ENGINE_EXITED',
      `engine exited ${why} (${how})${tail ? `; last diagnostics:\n${tail}` : ''}`));
    this._resolveExited(this._exitInfo);
    this.emit('exit', this._exitInfo);
  }
}
