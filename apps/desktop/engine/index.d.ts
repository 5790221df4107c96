// Typings of @quillet/engine (require and import).
export * from './client/engine-client';

export interface EnginePathOptions {
  /** Default process.platform. */
  platform?: string;
  /** Default process.arch. */
  arch?: string;
}

/**
 * The engine executable to pass as `enginePath`: prebuilds/win32-x64/ in the
 * package (its app.asar.unpacked copy inside an Electron app), else a
 * development build of the repository. Throws an Error with code
 * 'ERR_QUILLET_UNSUPPORTED_PLATFORM' off Windows x64 (without a development
 * build), or 'ERR_QUILLET_BINARY_MISSING' when the file is not there.
 */
export declare function enginePath(options?: EnginePathOptions): string;
