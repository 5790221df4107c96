// Typings of @quillet/engine (require and import).
export * from './client/engine-client';

export interface EnginePathOptions {
  /**
   * The folder that holds the engine's files (those of the package's
   * prebuilds/win32-x64/), for an app that bundles its JavaScript and copies
   * them. Default: the QUILLET_PREBUILDS_DIR environment variable; when
   * neither is set, the package's own prebuilds/win32-x64/.
   */
  dir?: string;
  /** Default process.platform. */
  platform?: string;
  /** Default process.arch. */
  arch?: string;
}

/**
 * The engine executable to pass as `enginePath` (startEngine() uses it when
 * given none): in `dir` (or QUILLET_PREBUILDS_DIR) when set, else
 * prebuilds/win32-x64/ in the package (its app.asar.unpacked copy inside an
 * Electron app), else a development build when the package is the
 * repository's source folder. Throws an Error with code
 * 'ERR_QUILLET_UNSUPPORTED_PLATFORM' off Windows x64 (pass an engine you
 * built as `enginePath` there), or 'ERR_QUILLET_BINARY_MISSING' when the file
 * is not there, which includes code bundled away from the package without
 * `dir` or QUILLET_PREBUILDS_DIR; the message says what to do.
 */
export declare function enginePath(options?: EnginePathOptions): string;

/** The codes of enginePath()'s errors (and startEngine()'s without an enginePath). */
export type EnginePathErrorCode = 'ERR_QUILLET_UNSUPPORTED_PLATFORM' | 'ERR_QUILLET_BINARY_MISSING';
