'use strict';
// Finds and loads this package's .node binary. The same file ships in
// @quillet/keywatch and @quillet/appfocus. Where it looks, first hit wins:
//   1. $QUILLET_PREBUILDS_DIR, when set: only there (an app that bundles its
//      JavaScript copies the binaries and says where);
//   2. prebuilds/win32-x64/ in the package (inside an Electron app, its
//      app.asar.unpacked copy: a DLL cannot be loaded from inside an archive);
//   3. the repository's Windows development build, only when the package is
//      this repository's source folder (it holds the CMakeLists.txt).
// A loader that runs from a bundle (no package.json of its own beside it)
// looks only at 1, and says how to fix it.

const { existsSync, readFileSync } = require('node:fs');
const { createRequire } = require('node:module');
const path = require('node:path');

const PREBUILDS_VARIABLE = 'QUILLET_PREBUILDS_DIR';

function unpacked(file) {
  const inside = `${path.sep}app.asar${path.sep}`;
  return file.includes(inside) ? file.replace(inside, `${path.sep}app.asar.unpacked${path.sep}`) : file;
}

function fail(code, message) {
  return Object.assign(new Error(message), { code });
}

// The name in root/package.json, or null when there is none (a bundle).
function packageName(root) {
  try {
    return JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8')).name ?? null;
  } catch {
    return null;
  }
}

// What to do about a binary that is not where the loader looked.
function fixes(pkg) {
  return `If your app bundles its JavaScript (Vite, webpack, esbuild, Rollup), mark ${pkg} as external so that it ` +
    `loads from node_modules, or copy the files of its prebuilds/win32-x64/ folder into a folder of your app and set ` +
    `${PREBUILDS_VARIABLE} to that folder before loading it. In an Electron app, keep the binaries out of app.asar ` +
    '(asarUnpack). See ELECTRON.md in the package.';
}

/**
 * The path of `file`, the binary of package `pkg`. Throws an Error with code
 * ERR_QUILLET_UNSUPPORTED_PLATFORM off Windows x64, ERR_QUILLET_BINARY_MISSING
 * when it is not there. The options are for tests.
 */
function locate(pkg, file, {
  root = __dirname, platform = process.platform, arch = process.arch, exists = existsSync, env = process.env,
} = {}) {
  if (platform !== 'win32' || arch !== 'x64') {
    throw fail('ERR_QUILLET_UNSUPPORTED_PLATFORM',
      `${pkg} runs on Windows x64 only (it calls the Windows input and window APIs), not on ${platform}-${arch}`);
  }
  const dir = env[PREBUILDS_VARIABLE];
  if (dir) {
    const chosen = unpacked(path.join(path.resolve(dir), file));
    if (exists(chosen)) return chosen;
    throw fail('ERR_QUILLET_BINARY_MISSING', `${pkg}: ${file} is missing from ${PREBUILDS_VARIABLE} (${dir}); ` +
      `looked at ${chosen}. Copy the files of the package's prebuilds/win32-x64/ folder there.`);
  }
  if (packageName(root) !== pkg) {
    throw fail('ERR_QUILLET_BINARY_MISSING', `${pkg}: ${file} cannot be found from a bundle: this loader runs from ` +
      `${root}, which is not the ${pkg} package folder. ${fixes(pkg)}`);
  }
  const list = [path.join(root, 'prebuilds', 'win32-x64', file)];
  if (exists(path.join(root, 'CMakeLists.txt'))) {
    list.push(path.join(root, '..', '..', '..', '..', 'build', 'windows', 'bin', file));
  }
  const candidates = list.map(unpacked);
  const found = candidates.find((p) => exists(p));
  if (found) return found;
  throw fail('ERR_QUILLET_BINARY_MISSING', `${pkg}: ${file} is missing; looked at ${candidates.join(', ')}. ${fixes(pkg)}`);
}

/**
 * Loads the binary as a Node module. Node's own require, made here, does the
 * loading, so a bundler leaves it alone and a module loaded twice (a bundled
 * copy of this loader and the package's own) is one instance.
 */
function load(pkg, file, options) {
  const found = locate(pkg, file, options);
  return createRequire(found)(found);
}

const objects = new Map();

/**
 * What the package hands the host, for require() and import alike: a plain
 * object with the native functions `names` (the native exports object shows
 * nothing when printed and ignores assignments; this one does neither, so a
 * test can replace a function). Made once; throws what load() throws; the
 * options are for tests.
 */
function packageObject(pkg, file, names, options) {
  let object = objects.get(pkg);
  if (!object) {
    const native = load(pkg, file, options);
    object = {};
    for (const name of names) object[name] = native[name];
    objects.set(pkg, object);
  }
  return object;
}

module.exports = { PREBUILDS_VARIABLE, load, locate, packageObject, unpacked };
