// One dictation on the engine: Begin, Audio frames as the host records them,
// then Finish (the text) or Cancel. EngineClient.begin() creates it; the
// frames go through the client's write queue, so they never interleave with
// another call's frames.

import { EngineError, FrameKind, audioChunks, encodeAudioFrame, encodeFrame, errorFromLine } from './protocol.mjs';
import { abortReason, checkSignal, toFloat32 } from './checks.mjs';

export class Dictation {
  // `previous` is the client's dictation before this one: its Begin goes out
  // only once that one has written its Finish or Cancel. With `confirm`, a
  // ping follows the Begin, so that acceptance (which is silent) is known.
  constructor(client, requestId, previous, payload, confirm) {
    this.requestId = requestId;
    this._client = client;
    this._beginSent = false;
    this._finishSent = false;
    this._finishing = null;
    this._settled = false;
    this._error = null;
    this._cancelWritten = null;
    this._pending = null; // tasks waiting for the Begin to be queued
    this._turnEnding = false;
    this._turnEnded = false;
    this._turnDone = new Promise((resolve) => {
      this._resolveTurn = resolve;
    });
    this._accepted = new Promise((resolve, reject) => {
      this._onBegin = { resolve, reject };
    });
    this._accepted.catch(() => {});
    this._outcome = new Promise((resolve, reject) => {
      this._resolveOutcome = resolve;
      this._rejectOutcome = reject;
    });
    this._outcome.catch(() => {}); // observed through finish(), if the host calls it
    // The turn of the dictation before this one; null when it has ended.
    this._ahead = null;
    if (!previous || previous._turnEnded) {
      this._queueBegin(payload, confirm);
    } else {
      this._pending = [];
      this._ahead = previous._turnDone;
      this._ahead.then(() => {
        this._ahead = null;
        this._queueBegin(payload, confirm);
      });
    }
  }

  /** Why the dictation ended without a result; null while it is open or once it has one. */
  get error() {
    return this._error;
  }

  /**
   * Sends samples (a Float32Array, or an Int16Array of 16-bit PCM) in Audio
   * frames of at most 480,000 samples. Resolves with true once they are
   * handed to the engine's pipe (after back-pressure), with false when they
   * were dropped because the dictation had ended (finish() called, cancelled
   * or failed: the reason is `error` and finish()'s rejection), so that an
   * audio handler that outlives the dictation cannot end the host. Rejects
   * only for samples of another type. The samples are copied: the caller may
   * reuse its buffer.
   */
  write(samples) {
    let data;
    try {
      data = toFloat32(samples);
    } catch (err) {
      return Promise.reject(err);
    }
    if (this._error || this._finishing || this._settled) return Promise.resolve(false);
    return this._writeFloat(data === samples ? data.slice() : data).then(() => true, () => false);
  }

  /**
   * Sends Finish and resolves with the "result" reply, or rejects with the
   * engine's code (AUDIO_TOO_LONG, DECODE_FAILED, ...), CANCELLED, or the
   * signal's reason. Aborting once Finish is written stops the waiting only:
   * the engine decodes to the end and its answer is dropped.
   */
  finish({ signal } = {}) {
    try {
      checkSignal(signal);
    } catch (err) {
      return Promise.reject(err);
    }
    if (this._finishing) return this._finishing;
    this._finishing = this._outcome;
    if (this._settled) return this._outcome;
    if (signal?.aborted) {
      this._fail(abortReason(signal));
      return this._outcome;
    }
    const onAbort = () => this._fail(abortReason(signal));
    if (signal) {
      signal.addEventListener('abort', onAbort, { once: true });
      const off = () => signal.removeEventListener('abort', onAbort);
      this._outcome.then(off, off);
    }
    const client = this._client;
    this._schedule(async () => {
      await client._drained();
      if (this._settled) return; // failed or cancelled meanwhile; _fail queued the Cancel
      client._send({
        kind: FrameKind.Finish,
        requestId: this.requestId,
        onReply: (line) => (line.type === 'result' ? this._succeed(line) : this._fail(errorFromLine(line))),
        onFail: (err) => this._fail(err),
      }, encodeFrame(FrameKind.Finish, { requestId: this.requestId }));
      this._finishSent = true;
      // The engine has taken the request; the next Begin may follow.
      this._endTurn();
    }).catch((err) => this._fail(err));
    return this._outcome;
  }

  /**
   * Ends the dictation: finish() rejects with CANCELLED. Before Finish is
   * written, a Cancel frame makes the engine drop the request and its audio.
   * After it, nothing can stop the decode: the engine finishes it (the next
   * dictation waits for that) and the client drops its answer.
   * Resolves once the Cancel frame, if one is needed, is written.
   */
  cancel() {
    this._fail(new EngineError('CANCELLED', `request ${this.requestId} cancelled`, this.requestId));
    return this._cancelWritten ?? Promise.resolve();
  }

  // ---- internals, used by EngineClient ----

  // Resolves with this dictation once the engine has accepted it.
  async _whenAccepted(signal) {
    const onAbort = () => this._fail(abortReason(signal));
    signal?.addEventListener('abort', onAbort, { once: true });
    try {
      await this._accepted;
    } finally {
      signal?.removeEventListener('abort', onAbort);
    }
    return this;
  }

  _queueBegin(payload, confirm) {
    const client = this._client;
    client._enqueueWrite(async () => {
      if (this._settled) return; // cancelled or aborted while waiting: nothing is sent
      client._send({
        kind: FrameKind.Begin,
        requestId: this.requestId,
        // A refused Begin started nothing in the engine.
        onReply: (line) => this._fail(errorFromLine(line), true),
        onFail: (err) => this._fail(err),
      }, encodeFrame(FrameKind.Begin, payload));
      this._beginSent = true;
      if (!confirm) return;
      // An accepted Begin is silent; the pong behind it says it was accepted.
      client._send({
        kind: FrameKind.Ping,
        onReply: (line) => (line.type === 'pong' ? this._accept() : this._fail(errorFromLine(line))),
        onFail: (err) => this._fail(err),
      }, encodeFrame(FrameKind.Ping));
    }).catch((err) => this._fail(err));
    const pending = this._pending;
    this._pending = null;
    for (const run of pending ?? []) run();
  }

  // Runs `task` on the client's write queue, behind this dictation's Begin.
  _schedule(task) {
    const client = this._client;
    if (!this._pending) return client._enqueueWrite(task);
    return new Promise((resolve, reject) => {
      this._pending.push(() => client._enqueueWrite(task).then(resolve, reject));
    });
  }

  _endTurn() {
    if (this._turnEnding) return;
    this._turnEnding = true;
    const pass = () => {
      this._turnEnded = true;
      this._resolveTurn();
    };
    // One that ends before its Begin was sent still waits for the dictation
    // before it: that one may hold the engine.
    if (this._ahead) this._ahead.then(pass);
    else pass();
  }

  _writeFloat(data) {
    if (data.length === 0) return Promise.resolve();
    const client = this._client;
    return this._schedule(async () => {
      for (const [start, end] of audioChunks(data.length)) {
        await client._drained();
        if (this._settled) break;
        client._send({
          kind: FrameKind.Audio,
          // An intake error with the request's id has dropped the request.
          onReply: (line) => this._fail(errorFromLine(line), line.requestId !== undefined),
          onFail: (err) => this._fail(err),
        }, encodeAudioFrame(data, start, end));
      }
      if (this._error) throw this._error;
    });
  }

  _accept() {
    if (this._settled || !this._onBegin) return;
    this._onBegin.resolve();
    this._onBegin = null;
  }

  _succeed(line) {
    if (this._settled) return;
    this._settled = true;
    this._forget();
    this._resolveOutcome(line);
  }

  // `engineHoldsNothing`: the engine has already dropped the request.
  _fail(err, engineHoldsNothing = false) {
    if (this._settled) return;
    this._settled = true;
    this._error = err;
    this._forget();
    if (this._onBegin) {
      this._onBegin.reject(err);
      this._onBegin = null;
    }
    this._rejectOutcome(err);
    const client = this._client;
    if (this._finishSent) return;
    if (this._beginSent && !engineHoldsNothing && client.alive) {
      // The engine may hold the request and its samples: drop them.
      this._cancelWritten = client._enqueueWrite(async () => client._sendCancel(this.requestId))
        .then(() => {}, () => {});
      this._cancelWritten.then(() => this._endTurn());
    } else {
      this._endTurn();
    }
  }

  _forget() {
    const dictations = this._client._dictations;
    if (dictations.get(this.requestId) === this) dictations.delete(this.requestId);
  }
}
