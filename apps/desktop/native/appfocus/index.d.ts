// appfocus: which application owns the foreground window.

/** Why `valid` is false; null when an application is resolved. */
export type SnapshotReason = 'unavailable' | 'metadata-pending' | 'stopped' | 'helper-fault';

export interface AppIdentity {
  /** Executable base name without ".exe", at most 256 bytes of UTF-8. */
  name: string;
  /** Always "" on Windows. */
  bundleId: string;
  processId: number;
  /** The foreground window as "0x" and lower-case hex digits, no leading zeros. */
  windowHandle?: string;
}

interface SnapshotBase {
  /** 1 before the first start; one more at every start that starts the tracker. */
  epoch: number;
  /** The module's clock now, in milliseconds; its origin means nothing. */
  clockMs: number;
  /** When the latest probe or recheck began (module clock); 0 before any. */
  observedMs: number;
  /** When the current application was first seen; 0 while none is. */
  changedMs: number;
  running: boolean;
}

/** An application is in front: `app` says which. */
export interface ResolvedSnapshot extends SnapshotBase {
  valid: true;
  reason: null;
  app: AppIdentity;
}

/** No application is known: `reason` says why. */
export interface UnresolvedSnapshot extends SnapshotBase {
  valid: false;
  reason: SnapshotReason;
  app: null;
}

/** Test `valid` (or `app`) to narrow: `if (s.valid) s.app.name`. */
export type ContextSnapshot = ResolvedSnapshot | UnresolvedSnapshot;

/** Starts the tracker thread; does nothing while it runs. */
export function start(): void;
/** Stops the tracker and waits for its thread to end. */
export function stop(): void;
/** Marks the snapshot pending and asks for a probe now; no effect when stopped. */
export function recheck(): void;
/** A fresh copy of the tracker's record. */
export function snapshot(): ContextSnapshot;
/** The same as `snapshot`. */
export function status(): ContextSnapshot;

/**
 * What require() gives, and the ES module's default export: a plain object
 * whose functions a test may replace (the named exports call through it).
 */
export interface Appfocus {
  start: typeof start;
  stop: typeof stop;
  recheck: typeof recheck;
  snapshot: typeof snapshot;
  status: typeof status;
}
