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
  /** No hello arrived within helloTimeoutMs. */
  | 'TIMEOUT';

export declare const ENGINE_ERROR_CODES: readonly EngineErrorCode[];
export declare const CLIENT_ERROR_CODES: readonly ClientErrorCode[];

export declare class EngineError extends Error {
  constructor(code: EngineErrorCode | ClientErrorCode | string, message: string, requestId?: number);
  readonly name: 'EngineError';
  readonly code: EngineErrorCode | ClientErrorCode;
  /** Present when the engine's error line carried one (and for CANCELLED). */
  readonly requestId?: number;
}

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
}

export type ReplyLine = HelloLine | ReadyLine | ResultLine | PongLine | UnloadedLine | ErrorLine;

export interface EngineOptions {
  /** Path of the engine executable. */
  enginePath: string;
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

export interface LoadOptions {
  modelPath: string;
  /** Default 'auto'. */
  device?: Device;
  /** 1 to 8; default: `defaultThreads()`, half the logical CPUs (1 to 8). */
  threads?: number;
  /** Requests shorter than this decode with shortAudioCtx; default 0 (never). */
  shortWindowSamples?: number;
  /** Audio context for short requests, 0 to 1500; default 0. */
  shortAudioCtx?: number;
}

export interface TranscribeOptions {
  /** 0 to 2^53-1; default: the next number of this client's counter. */
  requestId?: number;
  /** 2 to 4 lower-case letters, or 'auto' (default). */
  language?: string;
  /** Default ''. */
  prompt?: string;
  /** 16 kHz mono samples, nominally -1..1; other arrays are converted. */
  samples: Float32Array | ArrayLike<number>;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

export declare class EngineClient extends EventEmitter {
  /** Starts the engine and resolves once its hello has arrived. */
  static start(options: EngineOptions): Promise<EngineClient>;
  /** Spawns at once; await `started` before relying on `hello`. */
  constructor(options: EngineOptions);

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

  load(options: LoadOptions): Promise<ReadyLine>;
  /**
   * Sends Begin, Audio frames of at most 480,000 samples, then Finish.
   * Rejects with the engine's code (NOT_LOADED, BUSY, LANGUAGE_UNSUPPORTED,
   * AUDIO_TOO_LONG, NO_REQUEST, DECODE_FAILED, ...) or a client code.
   * Overlapping calls are queued and run one after another.
   */
  transcribe(options: TranscribeOptions): Promise<ResultLine>;
  /**
   * Cancels a request: a transcribe of this client rejects with CANCELLED
   * and stops sending audio; the engine drops the request.
   */
  cancel(requestId: number): Promise<void>;
  ping(): Promise<PongLine>;
  unload(): Promise<UnloadedLine>;
  /** Shutdown frame, then waits for the exit (kills after timeoutMs, default 5000). */
  close(options?: { timeoutMs?: number }): Promise<ExitInfo>;
  /** Ends the process at once; pending calls reject with ENGINE_EXITED. */
  kill(signal?: NodeJS.Signals): Promise<ExitInfo>;

  /** Every reply line after the hello, before it is matched to its call. */
  on(event: 'line', listener: (line: ReplyLine) => void): this;
  on(event: 'exit', listener: (info: ExitInfo) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export declare function startEngine(options: EngineOptions): Promise<EngineClient>;
/** Decode threads used when `load()` names none: half the logical CPUs, 1 to 8. */
export declare function defaultThreads(logicalCpus?: number): number;

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
