// One dictation on the engine: Begin, Audio frames as the host records them,
// then Finish (the text) or Cancel. EngineClient.begin() creates it; the
// frames go through the client's write queue, so they never interleave with
// another call's frames.

import { EngineError, FrameKind, audioChunks, encodeAudioFrame, encodeFrame, errorFromLine } from './protocol.mjs';
import { abortReason, checkSignal, toFloat32 } from './checks.mjs';

// Where a dictation stands. It only ever moves down this list, not always
// through every state.
const State = Object.freeze({
  Queued: 'queued', // Begin not written yet: behind the dictation ahead, or on the write queue
  FinishQueued: 'finish-queued', // finish() called before Begin was written; both wait their turn
  Open: 'open', // Begin written: audio goes out
  Finishing: 'finishing', // finish() called; Finish waits on the write queue
  Decoding: 'decoding', // Finish written: the engine owns the request and the next Begin may go
  Succeeded: 'succeeded', // the result arrived
  Ending: 'ending', // failed or cancelled; a Cancel, or the dictation ahead, still holds the turn
  Failed: 'failed', // failed or cancelled, and the turn has passed
});

// The dictation is over for the host: finish() has its answer.
const isSettled = (state) => state === State.Succeeded || state === State.Ending || state === State.Failed;

export class Dictation {
  // `previous` is the client's dictation before this one: its Begin goes out
  // only once that one has written its Finish or Cancel. With `confirm`, a
  // ping follows the Begin, so that acceptance (which is silent) is known.
  constructor(client, requestId, previous, payload, confirm) {
    this.requestId = requestId;
    this._client = client;
    this._state = State.Queued;
    this._error = null;
    this._cancelWritten = null; // the Cancel frame's write, once one is queued
    this._pending = null; // tasks waiting for the Begin to be queued
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
    if (!previous || previous._turnPassed) {
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

  // The next dictation's Begin may go out: this one's Finish or Cancel is written.
  get _turnPassed() {
    return this._state === State.Decoding || this._state === State.Succeeded || this._state === State.Failed;
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
    if (this._state !== State.Queued && this._state !== State.Open) return Promise.resolve(false);
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
    if (this._state !== State.Queued && this._state !== State.Open) return this._outcome;
    this._state = this._state === State.Queued ? State.FinishQueued : State.Finishing;
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
      if (isSettled(this._state)) return; // failed or cancelled meanwhile; _fail queued the Cancel
      client._send({
        kind: FrameKind.Finish,
        requestId: this.requestId,
        onReply: (line) => (line.type === 'result' ? this._succeed(line) : this._fail(errorFromLine(line))),
        onFail: (err) => this._fail(err),
      }, encodeFrame(FrameKind.Finish, { requestId: this.requestId }));
      this._state = State.Decoding;
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
      if (isSettled(this._state)) return; // cancelled or aborted while waiting: nothing is sent
      client._send({
        kind: FrameKind.Begin,
        requestId: this.requestId,
        // A refused Begin started nothing in the engine.
        onReply: (line) => this._fail(errorFromLine(line), true),
        onFail: (err) => this._fail(err),
      }, encodeFrame(FrameKind.Begin, payload));
      this._state = this._state === State.FinishQueued ? State.Finishing : State.Open;
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

  // Called as the state becomes Decoding or Ending.
  _endTurn() {
    const pass = () => {
      if (this._state === State.Ending) this._state = State.Failed;
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
        if (isSettled(this._state)) break;
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
    if (isSettled(this._state) || !this._onBegin) return;
    this._onBegin.resolve();
    this._onBegin = null;
  }

  _succeed(line) {
    if (isSettled(this._state)) return;
    this._state = State.Succeeded;
    this._forget();
    this._resolveOutcome(line);
  }

  // `engineHoldsNothing`: the engine has already dropped the request.
  _fail(err, engineHoldsNothing = false) {
    const was = this._state;
    if (isSettled(was)) return;
    // After Finish the turn has passed already; the engine drops the request itself.
    this._state = was === State.Decoding ? State.Failed : State.Ending;
    this._error = err;
    this._forget();
    if (this._onBegin) {
      this._onBegin.reject(err);
      this._onBegin = null;
    }
    this._rejectOutcome(err);
    const client = this._client;
    if (was === State.Decoding) return;
    const beginWritten = was !== State.Queued && was !== State.FinishQueued;
    if (beginWritten && !engineHoldsNothing && client.alive) {
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
