// Where the engine executable is. First hit wins:
//   1. options.dir, else $QUILLET_PREBUILDS_DIR, when set: only there (an app
//      that bundles its JavaScript copies the binaries and says where);
//   2. prebuilds/<platform>-<arch>/ in the package (inside an Electron app,
//      its app.asar.unpacked copy);
//   3. a development build of this repository (build/windows/bin,
//      build/linux/bin), only when the package is the repository's source
//      folder (it holds the CMakeLists.txt).
// From a bundle (no package.json of this package beside the code) only 1
// is looked at.

import { existsSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const PACKAGE = '@quillet/engine';
export const PREBUILDS_VARIABLE = 'QUILLET_PREBUILDS_DIR';

// Inside an Electron app the package sits in app.asar, which cannot hold a
// program that runs; electron-builder and Forge unpack such files beside it.
export function unpacked(file) {
  const inside = `${path.sep}app.asar${path.sep}`;
  return file.includes(inside) ? file.replace(inside, `${path.sep}app.asar.unpacked${path.sep}`) : file;
}

function packageName(root) {
  try {
    return JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8')).name ?? null;
  } catch {
    return null;
  }
}

/**
 * The candidates for a binary named `file`, best first: the prebuilt one, then
 * the development builds when the package is this repository's source folder.
 */
export function candidates(file, { root = here, platform = process.platform, arch = process.arch, exists = existsSync } = {}) {
  const list = [];
  if (platform === 'win32' && arch === 'x64') list.push(path.join(root, 'prebuilds', 'win32-x64', file));
  if (exists(path.join(root, 'CMakeLists.txt'))) {
    const repo = path.join(root, '..', '..', '..', 'build');
    if (platform === 'win32') list.push(path.join(repo, 'windows', 'bin', file));
    else if (platform === 'linux') list.push(path.join(repo, 'linux', 'bin', file));
  }
  return list.map(unpacked);
}

function fail(code, message) {
  return Object.assign(new Error(message), { code });
}

const FIXES = `If your app bundles its JavaScript (Vite, webpack, esbuild, Rollup), mark ${PACKAGE} as external so that ` +
  'it loads from node_modules, or copy the files of its prebuilds/win32-x64/ folder into a folder of your app and ' +
  `set ${PREBUILDS_VARIABLE} to that folder (or pass it as enginePath({ dir })). In an Electron app, keep the ` +
  'binaries out of app.asar (asarUnpack). See ELECTRON.md in the package.';

/** The path of the engine executable to spawn. Throws with a code when there is none. */
export function enginePath(options = {}) {
  const platform = options.platform ?? process.platform;
  const arch = options.arch ?? process.arch;
  const root = options.root ?? here;
  const exists = options.exists ?? existsSync;
  const file = platform === 'win32' ? 'quillet-whisper.exe' : 'quillet-whisper';
  const dir = options.dir || (options.env ?? process.env)[PREBUILDS_VARIABLE];
  if (dir) {
    const chosen = unpacked(path.join(path.resolve(dir), file));
    if (exists(chosen)) return chosen;
    throw fail('ERR_QUILLET_BINARY_MISSING', `${PACKAGE}: the engine executable is missing from ` +
      `${options.dir ? 'the folder given' : PREBUILDS_VARIABLE} (${dir}); looked at ${chosen}. Copy the files of ` +
      'the package\'s prebuilds/win32-x64/ folder there; they must stay together.');
  }
  const bundled = packageName(root) !== PACKAGE;
  const list = bundled ? [] : candidates(file, { root, platform, arch, exists });
  const found = list.find((p) => exists(p));
  if (found) return found;
  if (!(platform === 'win32' && arch === 'x64')) {
    throw fail('ERR_QUILLET_UNSUPPORTED_PLATFORM',
      `${PACKAGE} ships an engine for Windows x64 only, not ${platform}-${arch}` +
      (list.length ? ` (no development build at ${list.join(', ')})` : '') +
      '; elsewhere pass the path of an engine you built as enginePath');
  }
  if (bundled) {
    throw fail('ERR_QUILLET_BINARY_MISSING', `${PACKAGE}: the engine executable cannot be found from a bundle: ` +
      `this code runs from ${root}, which is not the ${PACKAGE} package folder. ${FIXES}`);
  }
  throw fail('ERR_QUILLET_BINARY_MISSING', `${PACKAGE}: the engine executable is missing; looked at ` +
    `${list.join(', ')}. ${FIXES}`);
}
