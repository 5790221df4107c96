// Shared pieces of the tests that run inside Wine's node.exe: where the build
// is, the helper program, and xdotool through the bridge folder.
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

function need(name) {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set; run through scripts/test-wine.sh`);
  return v;
}

export const binDir = need('QUILLET_WINE_BIN');
export const workDir = need('QUILLET_WINE_WORK');
const xdoDir = need('QUILLET_WINE_XDO');
export const helperExe = join(binDir, 'quillet-wine-helper.exe');
// Test-only libraries (a stand-in wtsapi32.dll, the probe module), kept out of bin.
export const toolsDir = join(binDir, '..', 'wine-tools');

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** Polls fn until it returns a truthy value; the value and the time it took, or null on time-out. */
export async function waitFor(fn, ms, step = 10) {
  const t0 = Date.now();
  for (;;) {
    const value = fn();
    if (value) return { value, ms: Date.now() - t0 };
    if (Date.now() - t0 > ms) return null;
    await sleep(step);
  }
}

let xdoSeq = 0;
/** Runs xdotool on the Linux side with these arguments; its stdout. */
export async function xdo(...args) {
  const n = `${process.pid}_${Date.now()}_${++xdoSeq}`;
  writeFileSync(join(xdoDir, `req-${n}.tmp`), JSON.stringify(args));
  renameSync(join(xdoDir, `req-${n}.tmp`), join(xdoDir, `req-${n}.json`));
  const res = join(xdoDir, `res-${n}.json`);
  const got = await waitFor(() => existsSync(res), 15000, 5);
  if (!got) throw new Error(`xdotool ${args.join(' ')}: no answer from the bridge`);
  const r = JSON.parse(readFileSync(res, 'utf8'));
  if (r.code !== 0) throw new Error(`xdotool ${args.join(' ')}: exit ${r.code} ${r.stderr}`);
  return r.stdout;
}

// keywatch's start and stop wait at most 500 ms for its worker. On a loaded
// machine Wine can take longer to set up or tear down a window, and the module
// then reports "startup-timeout" or "shutdown-timeout" while the worker ends
// by itself; these two helpers wait that out, and say so in the output.
const SLOW = 500;

/** keywatch's stop, repeated while the worker outlives stop's wait; its status. */
export function stopCapture(kw) {
  let s = null;
  for (let i = 0; i < 60; i++) {
    const t = performance.now();
    s = kw.stop();
    // A stop that returned sooner than its wait found no live worker.
    if (performance.now() - t < SLOW) return s;
    console.log(`# stop outlived by the worker (${s.failure}), again`);
  }
  return s;
}

/** keywatch's start, tried again while it times out; its status. */
export function startCapture(kw) {
  let s = null;
  for (let i = 0; i < 20; i++) {
    s = kw.start();
    if (s.failure !== 'startup-timeout') return s;
    console.log('# start timed out, again');
    stopCapture(kw);
  }
  return s;
}

let keymap = null;
/**
 * The X keycode of a keysym, read from the X server's keymap (xkbcomp's dump,
 * made by the stage script). Keys are sent by keycode: xdotool sends a
 * modifier keysym such as Control_R through the modifier map, which presses
 * Control_L instead.
 */
export function keycode(keysym) {
  if (!keymap) {
    const text = readFileSync(need('QUILLET_WINE_KEYMAP'), 'utf8');
    const codes = new Map([...text.matchAll(/<(\w+)>\s*=\s*(\d+)\s*;/g)].map((m) => [m[1], m[2]]));
    keymap = new Map();
    for (const m of text.matchAll(/\bkey\s+<(\w+)>\s*\{(?:[^}]*?=)?\s*\[\s*(\w+)/g)) {
      if (codes.has(m[1]) && !keymap.has(m[2])) keymap.set(m[2], codes.get(m[1]));
    }
  }
  const code = keymap.get(keysym);
  if (!code) throw new Error(`no keycode for ${keysym} in the X keymap`);
  return code;
}

const held = new Set();
/** xdotool's keydown and keyup steps in one call: keys(['keydown', 'Control_L'], ['keyup', 'Control_L']). */
export async function keys(...steps) {
  const codes = steps.map(([action, keysym]) => [action, keycode(keysym)]);
  for (const [action, code] of codes) if (action === 'keydown') held.add(code);
  await xdo(...codes.flat());
  for (const [action, code] of codes) if (action === 'keyup') held.delete(code);
}

/** Releases what keys() left held, whatever failed on the way. */
export async function releaseKeys() {
  if (held.size) await xdo(...[...held].flatMap((code) => ['keyup', code])).catch(() => {});
  held.clear();
}

/**
 * Brings the Wine window with exactly this title to the front. With no window
 * manager, X focus alone does not make it Wine's foreground window; a click
 * into it does, so focus first (keys follow the X focus), then click.
 */
export const focus = (title) =>
  xdo('search', '--sync', '--limit', '1', '--name', `^${title}$`,
    'windowraise', 'windowfocus', '--sync', 'mousemove', '--window', '%1', '40', '40', 'click', '1');

/** A helper window (or a copy of the helper under another name), closed after the test t; resolves once shown. */
export async function openWindow(title, t = null, exe = helperExe) {
  const info = join(mkdtempSync(join(workDir, 'win-')), 'info.txt');
  const child = spawn(exe, ['window', title, info], { stdio: 'ignore' });
  const got = await waitFor(() => existsSync(info), 15000);
  if (!got) {
    child.kill();
    throw new Error(`window ${title} did not appear`);
  }
  const [pid, hwnd] = readFileSync(info, 'utf8').trim().split(' ');
  const exited = new Promise((r) => child.on('exit', r));
  const win = {
    title,
    pid: Number(pid),
    handle: '0x' + BigInt('0x' + hwnd).toString(16),
    child,
    async close() {
      child.kill();
      await exited;
    },
  };
  t?.after(() => win.close());
  return win;
}

/** Handles the process holds, read by the helper from the system's handle table. */
export function handleCount(pid = process.pid) {
  const r = spawnSync(helperExe, ['handles', String(pid)], { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`handle count failed: exit ${r.status}`);
  return Number(r.stdout.trim());
}

/** Starts the helper's own low-level keyboard hook; resolves with a function that awaits its lines. */
export async function keyboardHook(events, ms) {
  const dir = mkdtempSync(join(workDir, 'hook-'));
  const out = join(dir, 'events.txt');
  const ready = join(dir, 'ready.txt');
  const child = spawn(helperExe, ['hook', out, ready, String(events), String(ms)], { stdio: 'ignore' });
  const exited = new Promise((r) => child.on('exit', r));
  if (!(await waitFor(() => existsSync(ready), 15000))) throw new Error('hook helper did not start');
  return async () => {
    const code = await exited;
    if (code !== 0) throw new Error(`hook helper exit ${code}`);
    return readFileSync(out, 'utf8').split('\n').filter(Boolean);
  };
}

/** The PCM of a canonical WAV file (data chunk at byte 36), as the microphone would give it. */
export function pcmOf(file) {
  const wav = readFileSync(file);
  if (wav.toString('latin1', 36, 40) !== 'data') throw new Error(`${file}: not a canonical WAV file`);
  return new Int16Array(wav.buffer.slice(wav.byteOffset + 44, wav.byteOffset + 44 + wav.readUInt32LE(40)));
}
