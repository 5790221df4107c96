// Where the engine executable is: the one this package ships under
// prebuilds/<platform>-<arch>/, else a development build of this repository.

import { existsSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

// Inside an Electron app the package sits in app.asar, which cannot hold a
// program that runs; electron-builder and Forge unpack such files beside it.
export function unpacked(file) {
  const inside = `${path.sep}app.asar${path.sep}`;
  return file.includes(inside) ? file.replace(inside, `${path.sep}app.asar.unpacked${path.sep}`) : file;
}

/**
 * The candidates for a binary named `file`, best first: the prebuilt one, then
 * the development builds (build/windows/bin, build/linux/bin) when the
 * package is used from this repository.
 */
export function candidates(file, { root = here, platform = process.platform, arch = process.arch } = {}) {
  const list = [];
  if (platform === 'win32' && arch === 'x64') list.push(path.join(root, 'prebuilds', 'win32-x64', file));
  const repo = path.join(root, '..', '..', '..', 'build');
  if (platform === 'win32') list.push(path.join(repo, 'windows', 'bin', file));
  else if (platform === 'linux') list.push(path.join(repo, 'linux', 'bin', file));
  return list.map(unpacked);
}

function fail(code, message) {
  return Object.assign(new Error(message), { code });
}

/** The path of the engine executable to spawn. Throws with a code when there is none. */
export function enginePath(options = {}) {
  const platform = options.platform ?? process.platform;
  const arch = options.arch ?? process.arch;
  const file = platform === 'win32' ? 'quillet-whisper.exe' : 'quillet-whisper';
  const list = candidates(file, { ...options, platform, arch });
  const exists = options.exists ?? existsSync;
  const found = list.find((p) => exists(p));
  if (found) return found;
  if (!(platform === 'win32' && arch === 'x64')) {
    throw fail('ERR_QUILLET_UNSUPPORTED_PLATFORM',
      `@quillet/engine ships an engine for Windows x64 only, not ${platform}-${arch}` +
      (list.length ? ` (no development build at ${list.join(', ')})` : ''));
  }
  throw fail('ERR_QUILLET_BINARY_MISSING', `@quillet/engine: the engine executable is missing; looked at ${list.join(', ')}` +
    '. In an Electron app, keep it out of app.asar (asarUnpack).');
}
