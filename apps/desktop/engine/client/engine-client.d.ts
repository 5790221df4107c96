// Typings for engine-client.mjs (and the protocol helpers it re-exports).

import { EventEmitter } from 'node:events';

export declare const PROTOCOL_VERSION: 2;
export declare const SAMPLE_RATE: 16000;
export declare const MAX_SAMPLES_PER_FRAME: 480000;
export declare const MAX_REQUEST_SAMPLES: 9600000;
export declare const MAX_FRAME_LENGTH: 1920001;
export declare const MAX_REQUEST_ID: number;

export declare const FrameKind: Readonly<{
  Load: 1;
  Begin: 2;
  Audio: 3;
  Finish: 4;
  Cancel: 5;
  Unload: 6;
  Ping: 7;
  Shutdown: 8;
}>;
export type FrameKindValue = (typeof FrameKind)[keyof typeof FrameKind];

/** Codes the engine sends in its error lines. */
export type EngineErrorCode =
  | 'BAD_FRAME'
  | 'VERSION_MISMATCH'
  | 'MODEL_MISSING'
  | 'GPU_UNAVAILABLE'
  | 'MODEL_INVALID'
  | 'OUT_OF_MEMORY'
  | 'NOT_LOADED'
  | 'BUSY'
  | 'LANGUAGE_UNSUPPORTED'
  | 'NO_REQUEST'
  | 'AUDIO_TOO_LONG'
  | 'DECODE_FAILED'
  | 'INTERNAL';

/** Codes the client raises itself. */
export type ClientErrorCode =
  /** The engine could not start, or exited before answering. */
  | 'ENGINE_EXITED'
  /** The engine wrote a line that answers no frame sent; the engine is killed. */
  | 'PROTOCOL_ERROR'
  /** cancel() was called for this request. */
  | 'CANCELLED'
  /** No hello within helloTimeoutMs, or no answer to a load within its timeoutMs; the engine is stopped. */
  | 'TIMEOUT';

export declare const ENGINE_ERROR_CODES: readonly EngineErrorCode[];
export declare const CLIENT_ERROR_CODES: readonly ClientErrorCode[];

export declare class EngineError extends Error {
  constructor(code: EngineErrorCode | ClientErrorCode, message: string, requestId?: number);
  readonly name: 'EngineError';
  readonly code: EngineErrorCode | ClientErrorCode;
  /** Present when the engine's error line carried one (and for CANCELLED). */
  readonly requestId?: number;
  /** The model file, for MODEL_MISSING and MODEL_INVALID from load(). */
  readonly path?: string;
  /**
   * Why the engine refused, in its words, when it said: MODEL_INVALID always
   * carries one, e.g. "not a whisper.cpp model file (magic)". Also in `message`.
   */
  readonly reason?: string;
}

/**
 * Thrown (as a rejection) before anything is sent: a field outside its range
 * is a RangeError with code 'ERR_OUT_OF_RANGE' whose message starts with the
 * field's name; a value of the wrong type is a TypeError with code
 * 'ERR_INVALID_ARG_TYPE'. A call that waits and is aborted rejects with the
 * signal's reason (by default a DOMException named 'AbortError').
 */
export type ArgumentError = (RangeError & { code: 'ERR_OUT_OF_RANGE' }) | (TypeError & { code: 'ERR_INVALID_ARG_TYPE' });

/** 16 kHz mono audio: float samples in -1..1, or 16-bit PCM (scaled by 1/32768). */
export type Samples = Float32Array | Int16Array;

export type Device = 'auto' | 'cpu' | 'cuda' | 'vulkan' | 'metal';
export type BackendFamily = 'metal' | 'vulkan' | 'cuda' | 'cpu';

export interface HelloLine {
  type: 'hello';
  version: 2;
  /** Speech library version and engine build, e.g. "v1.9.5+d1be6fd". */
  whisper: string;
  /** GPU families present, in the order metal, vulkan, cuda; "cpu" always last. */
  backends: BackendFamily[];
}

export interface ReadyLine {
  type: 'ready';
  version: 2;
  device: 'cpu' | 'cuda' | 'vulkan' | 'metal';
  loadMs: number;
  /** True when "auto" wanted a GPU but ended on the CPU. */
  fallback: boolean;
}

export interface ResultLine {
  type: 'result';
  requestId: number;
  text: string;
  decodeMs: number;
  /** Unpadded sample count / 16. */
  audioMs: number;
}

export interface PongLine { type: 'pong' }
export interface UnloadedLine { type: 'unloaded' }

export interface ErrorLine {
  type: 'error';
  code: EngineErrorCode;
  requestId?: number;
  /** MODEL_INVALID: which part of the file the engine refused. */
  reason?: string;
}

export type ReplyLine = HelloLine | ReadyLine | ResultLine | PongLine | UnloadedLine | ErrorLine;

export interface EngineOptions {
  /**
   * Path of the engine executable. Default: the engine the package ships,
   * `enginePath()` (which throws off Windows x64: there, pass one you built).
   */
  enginePath?: string;
  /** Accelerator pack directory, passed as --accelerators. */
  accelerators?: string;
  /** Arguments placed before --accelerators (e.g. a script for an interpreter). */
  extraArgs?: string[];
  /** Environment of the engine; defaults to process.env. */
  env?: NodeJS.ProcessEnv;
  cwd?: string;
  /**
   * The engine's diagnostics: 'collect' (default) keeps the last
   * stderrTailBytes in stderrTail; 'inherit' forwards them to this process's
   * stderr; 'ignore' drops them; a function receives each line (and the tail
   * is kept as with 'collect').
   */
  stderr?: 'collect' | 'inherit' | 'ignore' | ((line: string) => void);
  /** Default 65536. */
  stderrTailBytes?: number;
  /** Default 30000. */
  helloTimeoutMs?: number;
}

/** Lets a call that waits give up; see each call for what an abort can stop. */
export interface Abortable {
  signal?: AbortSignal;
}

export interface LoadOptions extends Abortable {
  /** Path of the model file: 1 to 4096 UTF-16 code units, well-formed (no unpaired surrogate). */
  modelPath: string;
  /** Default 'auto'. */
  device?: Device;
  /** Integer 1 to 8; default: `defaultThreads()`, half the logical CPUs, at least 2 where there are 2, at most 8. */
  threads?: number;
  /** Integer 0 to 2^53-1: requests shorter than this decode with shortAudioCtx; default 0 (never). */
  shortWindowSamples?: number;
  /** Integer 0 to 1500: audio context for short requests; default 0 (the model's). */
  shortAudioCtx?: number;
  /**
   * Milliseconds to wait for the answer, counted from when the Load frame is
   * written (the engine reads it only after any decode before it). When it
   * passes the engine is stopped and every pending call rejects with TIMEOUT.
   * 0: no limit. Default DEFAULT_LOAD_TIMEOUT_MS (120000).
   */
  timeoutMs?: number;
}

export interface BeginOptions extends Abortable {
  /** Integer 0 to 2^53-1; default: the next number of this client's counter (see Dictation.requestId). */
  requestId?: number;
  /** 2 to 4 lower-case letters a-z (e.g. 'en'), or 'auto' (default). */
  language?: string;
  /** At most 2048 UTF-16 code units; default ''. */
  prompt?: string;
}

export interface TranscribeOptions extends BeginOptions {
  samples: Samples;
}

/**
 * One dictation, from EngineClient.begin(). Write audio as it is recorded,
 * then finish() for the text, or cancel(). Until its Finish or Cancel is
 * written it holds the engine: the client's next begin() waits for it.
 */
export declare class Dictation {
  /** Dictations come from EngineClient.begin(). */
  private constructor();
  /** The id of this request, also when the client chose it. */
  readonly requestId: number;
  /** Why the dictation ended without a result; null while open or after a result. */
  readonly error: EngineError | Error | null;
  /**
   * Sends the samples in frames of at most 480,000. Resolves with true once
   * they are handed to the engine's pipe (waiting while the pipe is full);
   * the samples are copied first, so the buffer may be reused at once.
   * Resolves with false, sending nothing more, once the dictation has ended:
   * after finish() was called, after cancel(), or after a failure
   * (AUDIO_TOO_LONG after 10 minutes of audio, OUT_OF_MEMORY, ENGINE_EXITED,
   * an abort), whose reason is `error` and finish()'s rejection. So a write
   * nobody awaits (an audio handler that outlives the dictation) is harmless.
   * Rejects only for samples that are not a Float32Array or an Int16Array
   * (TypeError, code 'ERR_INVALID_ARG_TYPE').
   */
  write(samples: Samples): Promise<boolean>;
  /**
   * Sends Finish after the audio written so far and resolves with the text.
   * Rejects with the engine's code (AUDIO_TOO_LONG, DECODE_FAILED,
   * OUT_OF_MEMORY, INTERNAL), CANCELLED, ENGINE_EXITED, or the signal's
   * reason. An abort before the Finish frame is written sends Cancel instead
   * and the engine drops the audio; an abort after it only stops the waiting:
   * a decode that has started runs to its end (the next dictation waits for
   * it) and its answer is dropped. Calling finish() again returns the same promise.
   */
  finish(options?: Abortable): Promise<ResultLine>;
  /**
   * finish() rejects with CANCELLED, and writes still pending or made later
   * resolve with false. Before the
   * Finish frame is written, a Cancel frame makes the engine drop the request
   * and its audio. After it, nothing can stop the decode: the engine finishes
   * it and the client drops the answer. Resolves once the Cancel frame, if
   * one is needed, is written. Safe to call at any time.
   */
  cancel(): Promise<void>;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** The events an EngineClient emits, with their listeners' arguments. */
export interface EngineClientEvents {
  /** Every reply line after the hello, before it is matched to its call. */
  line: [line: ReplyLine];
  /** The engine process has gone. */
  exit: [info: ExitInfo];
}

/** A client whose engine has said hello: what startEngine() resolves with. */
export type StartedEngineClient = EngineClient & { readonly hello: HelloLine };

export declare class EngineClient extends EventEmitter {
  /** Starts the engine and resolves once its hello has arrived. */
  static start(options?: EngineOptions): Promise<StartedEngineClient>;
  /**
   * Spawns at once; await `started` before relying on `hello`. Throws an
   * ArgumentError for a bad enginePath, or enginePath()'s error without one.
   */
  constructor(options?: EngineOptions);

  /** The hello line; null until it has arrived. */
  readonly hello: HelloLine | null;
  readonly pid: number | undefined;
  /** Resolves with the hello; rejects if the engine fails to start. */
  readonly started: Promise<HelloLine>;
  /** Resolves when the process has gone. */
  readonly exited: Promise<ExitInfo>;
  /** False once the engine process has gone (or was stopped). */
  readonly alive: boolean;
  /** Last bytes of the engine's stderr (with stderr 'collect' or a function). */
  readonly stderrTail: string;

  /**
   * Loads a model (releasing the current one first: a failed load leaves no
   * model loaded). Rejects with MODEL_MISSING or MODEL_INVALID (naming the
   * file in `message` and `path`; MODEL_INVALID also says why in `reason`),
   * GPU_UNAVAILABLE, OUT_OF_MEMORY, VERSION_MISMATCH, TIMEOUT, or the
   * signal's reason. An abort stops the
   * waiting only: the engine goes on loading, and whether a model is loaded
   * afterwards is unknown until the next load.
   */
  load(options: LoadOptions): Promise<ReadyLine>;
  /**
   * Opens a dictation and resolves once the engine has accepted it (one
   * round trip). Rejects at once with NOT_LOADED or LANGUAGE_UNSUPPORTED
   * (BUSY only if another program drives the same engine). Waits first for
   * this client's previous dictation to write its Finish or Cancel, and the
   * engine reads the Begin only after any decode in progress, so buffer the
   * audio recorded meanwhile. An abort while waiting sends nothing or a
   * Cancel.
   */
  begin(options?: BeginOptions): Promise<Dictation>;
  /**
   * The one-call form of begin(), write() and finish(), with its frames
   * queued at once. Rejects as those do. The samples must stay unchanged
   * until it settles.
   */
  transcribe(options: TranscribeOptions): Promise<ResultLine>;
  /**
   * Cancels by id: a dictation of this client as with Dictation.cancel();
   * another id is sent to the engine, which ignores ids it does not hold.
   */
  cancel(requestId: number): Promise<void>;
  /** Round trip; answered after every frame sent before it (a decode included). */
  ping(options?: Abortable): Promise<PongLine>;
  /** Frees the model; an active dictation is dropped. */
  unload(options?: Abortable): Promise<UnloadedLine>;
  /** Shutdown frame, then waits for the exit (kills after timeoutMs, default 5000). */
  close(options?: { timeoutMs?: number }): Promise<ExitInfo>;
  /** Ends the process at once; pending calls reject with ENGINE_EXITED. */
  kill(signal?: NodeJS.Signals): Promise<ExitInfo>;

  // The two events, by name only: another name is a mistake the compiler shows.
  on<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  once<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  off<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  addListener<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  removeListener<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  prependListener<E extends keyof EngineClientEvents>(event: E, listener: (...args: EngineClientEvents[E]) => void): this;
  prependOnceListener<E extends keyof EngineClientEvents>(event: E,
    listener: (...args: EngineClientEvents[E]) => void): this;
}

/**
 * Starts the engine and resolves once its hello has arrived (so `hello` is
 * set). Without `enginePath`, the engine the package ships; off Windows x64,
 * or when its files are not where the package looks, this rejects with
 * enginePath()'s error (code 'ERR_QUILLET_UNSUPPORTED_PLATFORM' or
 * 'ERR_QUILLET_BINARY_MISSING').
 */
export declare function startEngine(options?: EngineOptions): Promise<StartedEngineClient>;
/** Decode threads used when `load()` names none: half the logical CPUs, at least 2 where there are 2, at most 8. */
export declare function defaultThreads(logicalCpus?: number): number;

export declare const DEFAULT_LOAD_TIMEOUT_MS: 120000;

// Wire helpers, exported for tests and for hosts that frame by hand.
export declare function encodeFrame(kind: number, payload?: string | Uint8Array | object | null): Buffer;
export declare function encodeAudioFrame(samples: Float32Array, start?: number, end?: number): Buffer;
export declare function audioChunks(total: number, maxPerFrame?: number): Array<[number, number]>;
export declare function errorFromLine(line: ErrorLine): EngineError;
export declare function isValidRequestId(id: unknown): id is number;
export declare function parseReplyLine(text: string): ReplyLine;
export declare function replyOwner(sent: { kind: number; requestId?: number }, line: ReplyLine): boolean;
export declare function alwaysAnswered(kind: number): boolean;

export declare class LineSplitter {
  constructor(maxLineBytes?: number);
  /** Complete lines finished by this chunk, without their line feeds. */
  push(chunk: Buffer): string[];
  /** Bytes held after the last line feed. */
  readonly remainder: number;
}
