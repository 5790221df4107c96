// The typings as a host sees them: the example host (apps/desktop/examples) compiles with
// tsc --strict against the packages installed by name; their closed sets match the code.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { ENGINE_ERROR_CODES } from '../engine-client.mjs';

const root = fileURLToPath(new URL('../../../../..', import.meta.url));
const desktop = path.join(root, 'apps', 'desktop');
const typecheck = path.join(root, 'tools', 'typecheck', 'node_modules');
const tsc = path.join(typecheck, 'typescript', 'bin', 'tsc');

// The members of a string-literal union type declared in a .d.ts.
const union = (file, name) => [...new RegExp(`export type ${name} =([^;]*);`).exec(readFileSync(file, 'utf8'))[1]
  .matchAll(/'([^']+)'/g)].map((x) => x[1]).sort();

test('the example host compiles with tsc --strict against the packages by name', { timeout: 120000 }, async (t) => {
  assert.ok(existsSync(tsc), 'TypeScript is missing: run scripts/setup.sh (it installs tools/typecheck)');
  const dir = mkdtempSync(path.join(os.tmpdir(), 'quillet-typings-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  mkdirSync(path.join(dir, 'node_modules', '@quillet'), { recursive: true });
  for (const [to, from] of [['@quillet/engine', 'engine'], ['@quillet/keywatch', 'native/keywatch'],
    ['@quillet/appfocus', 'native/appfocus']]) symlinkSync(path.join(desktop, from), path.join(dir, 'node_modules', to));
  for (const name of ['@types', 'undici-types']) symlinkSync(path.join(typecheck, name), path.join(dir, 'node_modules', name));
  for (const f of ['host.mts', 'host.cts', 'tsconfig.json']) copyFileSync(path.join(desktop, 'examples', f), path.join(dir, f));
  await promisify(execFile)(process.execPath, [tsc, '-p', dir], { cwd: dir })
    .catch((err) => assert.fail(`${err.stdout}${err.stderr}`));
});

test('closed sets in the typings are the ones the code produces', () => {
  const engineTypes = path.join(desktop, 'engine', 'client', 'engine-client.d.ts');
  assert.deepEqual(union(engineTypes, 'EngineErrorCode'), [...ENGINE_ERROR_CODES].sort());
  const keywatch = path.join(desktop, 'native', 'keywatch');
  const failures = readFileSync(path.join(keywatch, 'src', 'failures.h'), 'utf8').split('namespace failure {')[1];
  const native = [...failures.slice(0, failures.indexOf('}')).matchAll(/= "([a-z-]+)"/g)].map((x) => x[1]).sort();
  assert.ok(native.length > 40);
  assert.deepEqual(union(path.join(keywatch, 'index.d.ts'), 'CaptureFailure'), native);
  const sendKeys = readFileSync(path.join(keywatch, 'src', 'send_keys.cpp'), 'utf8');
  for (const command of union(path.join(keywatch, 'index.d.ts'), 'SendKeysCommand')) {
    assert.match(sendKeys, new RegExp(`"${command}"`), command);
  }
});
