// Builds the CommonJS copy of the package (dist/) from its ES modules, for
// hosts that require() it: Electron's main process and older Node versions
// cannot require an ES module. The sources use a small, fixed set of import
// and export forms; anything else stops the build rather than being guessed at.
//
//   node build-cjs.mjs [package folder]    (npm runs it before packing)

import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const SOURCES = [
  'index.mjs',
  'locate.mjs',
  'client/engine-client.mjs',
  'client/protocol.mjs',
  'client/checks.mjs',
  'client/dictation.mjs',
];

const cjsPath = (from) => (from.startsWith('.') ? from.replace(/\.mjs$/, '.cjs') : from);
const bindings = (names) => names.split(',').map((n) => n.trim()).filter(Boolean)
  .map((n) => n.replace(/\s+as\s+/, ': ')).join(', ');

/** The CommonJS text of one module; `source` is its path inside the package. */
export function toCommonJS(text, source) {
  const exported = [];
  let out = text
    .replace(/^import\s+(\w+)\s+from\s+'([^']+)';$/gm, (_, name, from) => `const ${name} = require('${cjsPath(from)}');`)
    .replace(/^import\s+\{([^}]*)\}\s+from\s+'([^']+)';$/gm,
      (_, names, from) => `const { ${bindings(names)} } = require('${cjsPath(from)}');`)
    .replace(/^export\s+\*\s+from\s+'([^']+)';$/gm, (_, from) => `Object.assign(exports, require('${cjsPath(from)}'));`)
    .replace(/^export\s+\{([^}]*)\}\s+from\s+'([^']+)';$/gm, (_, names, from) =>
      names.split(',').map((n) => n.trim()).filter(Boolean)
        .map((n) => `exports.${n} = require('${cjsPath(from)}').${n};`).join('\n'))
    .replace(/^export\s+((?:async\s+)?function\*?|class|const|let)\s+(\w+)/gm, (_, kind, name) => {
      exported.push(name);
      return `${kind} ${name}`;
    });
  // The module keeps seeing its source location, so paths relative to it hold.
  const depth = path.dirname(source) === '.' ? 1 : 1 + path.dirname(source).split('/').length;
  const back = Array(depth).fill('..').join('/');
  out = out.replaceAll('import.meta.url',
    `require('node:url').pathToFileURL(require('node:path').join(__dirname, '${back}', '${source}')).href`);
  const code = out.split('\n').filter((line) => !/^\s*(\/\/|\*|\/\*)/.test(line)).join('\n');
  const left = /^\s*(import|export)\b.*$|\bimport\s*\(|\bimport\.meta\b/m.exec(code);
  if (left) throw new Error(`${source}: cannot convert "${left[0].trim()}" to CommonJS`);
  const tail = exported.map((n) => `exports.${n} = ${n};`).join('\n');
  return `'use strict';\n// Generated from ${source} by build-cjs.mjs; edit the source.\n${out}\n${tail}\n`;
}

export function buildCommonJS(root) {
  for (const source of SOURCES) {
    const target = path.join(root, 'dist', source.replace(/\.mjs$/, '.cjs'));
    mkdirSync(path.dirname(target), { recursive: true });
    writeFileSync(target, toCommonJS(readFileSync(path.join(root, source), 'utf8'), source));
  }
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  buildCommonJS(path.resolve(process.argv[2] ?? path.dirname(fileURLToPath(import.meta.url))));
}
