'use strict';
// Finds this package's .node binary: prebuilds/win32-x64/ in the package
// (inside an Electron app, its app.asar.unpacked copy: a DLL cannot be
// loaded from inside an archive), else the repository's Windows development
// build. The same file ships in @quillet/keywatch and @quillet/appfocus.

const { existsSync } = require('node:fs');
const path = require('node:path');

function unpacked(file) {
  const inside = `${path.sep}app.asar${path.sep}`;
  return file.includes(inside) ? file.replace(inside, `${path.sep}app.asar.unpacked${path.sep}`) : file;
}

function fail(code, message) {
  return Object.assign(new Error(message), { code });
}

function locate(pkg, file, { root = __dirname, platform = process.platform, arch = process.arch, exists = existsSync } = {}) {
  if (platform !== 'win32' || arch !== 'x64') {
    throw fail('ERR_QUILLET_UNSUPPORTED_PLATFORM',
      `${pkg} runs on Windows x64 only (it calls the Windows input and window APIs), not on ${platform}-${arch}`);
  }
  const list = [
    path.join(root, 'prebuilds', 'win32-x64', file),
    path.join(root, '..', '..', '..', '..', 'build', 'windows', 'bin', file),
  ].map(unpacked);
  const found = list.find((p) => exists(p));
  if (found) return found;
  throw fail('ERR_QUILLET_BINARY_MISSING', `${pkg}: ${file} is missing; looked at ${list.join(', ')}. ` +
    'In an Electron app, keep .node files out of app.asar (asarUnpack).');
}

module.exports = { locate, unpacked };
