// Loads the built modules and checks what JS sees. KEYWATCH_MODULE is the
// shipped build; KEYWATCH_TEST_MODULE adds the "testing" driver that feeds
// the core the way the capture worker does.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { Worker } from 'node:worker_threads';

const require = createRequire(import.meta.url);
const modulePath = process.env.KEYWATCH_MODULE;
const testModulePath = process.env.KEYWATCH_TEST_MODULE;
assert.ok(modulePath && testModulePath, 'KEYWATCH_MODULE and KEYWATCH_TEST_MODULE must name the built modules');

const kw = require(modulePath);
const kt = require(testModulePath);

const exportNames = ['start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys',
    'remoteKeysStart', 'remoteKeysStop', 'remoteKeysState'];
const statusKeys = ['platform', 'accessibility', 'listen', 'running', 'epoch', 'failure'];

function expectStatusShape(status) {
    assert.deepEqual(Object.keys(status), statusKeys);
    assert.equal(status.platform, 'win32');
    assert.equal(status.accessibility, 'unsupported');
    assert.equal(status.listen, 'unsupported');
    assert.equal(typeof status.running, 'boolean');
    assert.equal(typeof status.epoch, 'number');
    assert.ok(status.failure === null || typeof status.failure === 'string');
}

test('registration defines the nine exports in order, with default attributes', () => {
    assert.deepEqual(Object.getOwnPropertyNames(kw), exportNames);
    for (const name of exportNames) {
        const d = Object.getOwnPropertyDescriptor(kw, name);
        assert.equal(typeof d.value, 'function', name);
        assert.equal(d.writable, false, name);
        assert.equal(d.enumerable, false, name);
        assert.equal(d.configurable, false, name);
    }
    assert.deepEqual(Object.getOwnPropertyNames(kt), [...exportNames, 'testing']);
});

test('status before any start', () => {
    const status = kw.status();
    expectStatusShape(status);
    assert.deepEqual(status, {
        platform: 'win32', accessibility: 'unsupported', listen: 'unsupported',
        running: false, epoch: 0, failure: null,
    });
    assert.deepEqual(kw.status(1, 'x', {}), status, 'arguments are ignored');
});

test('drain before any start', () => {
    const first = kw.drain();
    assert.deepEqual(Object.keys(first), ['epoch', 'clockMs', 'status', 'frames']);
    assert.equal(first.epoch, 0);
    assert.equal(typeof first.clockMs, 'number');
    assert.ok(first.clockMs > 0);
    assert.deepEqual(first.status, kw.status());
    assert.ok(Array.isArray(first.frames));
    assert.equal(first.frames.length, 0);
    const second = kw.drain('ignored');
    assert.equal(second.epoch, 0);
    assert.equal(second.frames.length, 0);
    assert.ok(second.clockMs >= first.clockMs, 'the module clock is monotonic');
});

// Waits, a few milliseconds at a time and two seconds at most, until pred
// holds for what get returns; returns the last value.
async function until(get, pred) {
    let value = get();
    for (let i = 0; i < 400 && !pred(value); i++) {
        await new Promise((resolve) => setTimeout(resolve, 5));
        value = get();
    }
    return value;
}

test('a whole capture through the worker: start, arm, keys, drain, stop', async () => {
    const { testing } = kt;
    let status = kt.start('ignored');
    expectStatusShape(status);
    assert.equal(status.running, true);
    const startEpoch = status.epoch;
    assert.deepEqual(kt.start(), status, 'a second start changes nothing');
    status = await until(() => kt.status(), (s) => s.failure === null);
    assert.equal(status.failure, null, 'armed after a neutral keyboard');
    let d = kt.drain();
    assert.equal(d.epoch, startEpoch + 1);
    assert.deepEqual(d.frames.map((f) => [f.sequence, f.kind]), [[1, 'reset'], [2, 'snapshot']]);

    assert.ok(testing.rawKey(1, 0x1D, 0x0, 0xA2));  // left Control down
    assert.ok(testing.rawKey(1, 0x1E, 0x0, 0x41));  // A down
    assert.ok(testing.rawKey(1, 0x1E, 0x1, 0x41));  // A up
    assert.ok(testing.rawKey(1, 0x1D, 0x1, 0xA2));  // left Control up
    const frames = [];
    await until(() => { frames.push(...kt.drain().frames); return frames.length; }, (n) => n >= 4);
    assert.deepEqual(frames.map((f) => [f.sequence, f.kind, f.key, f.down]), [
        [3, 'event', 'LeftControl', true],
        [4, 'event', 'Other', true],
        [5, 'event', 'Other', false],
        [6, 'event', 'LeftControl', false],
    ]);
    for (let i = 1; i < frames.length; i++) {
        assert.ok(frames[i].sourceMs >= frames[i - 1].sourceMs, 'frame times never go back');
    }
    assert.equal(kt.status().epoch, startEpoch + 1, 'no reset on the way');

    status = kt.stop();
    assert.deepEqual({ running: status.running, failure: status.failure }, { running: false, failure: null });
    d = kt.drain();
    assert.deepEqual(d.frames.map((f) => [f.kind, f.reason]), [['reset', 'shutdown']]);
    assert.deepEqual(kt.stop(), kt.status(), 'a second stop changes nothing');
});

test('a second environment finds raw input owned', async () => {
    assert.equal(kw.start().running, true);
    try {
        const seen = await inWorker(`
            const { parentPort, workerData } = require('node:worker_threads');
            const kw = require(workerData.modulePath);
            const started = kw.start();
            parentPort.postMessage({ started, stopped: kw.stop() });
        `);
        assert.equal(seen.started.running, false);
        assert.equal(seen.started.failure, 'raw-input-already-owned');
        assert.equal(seen.stopped.failure, 'raw-input-already-owned');
        assert.equal(kw.status().running, true, 'the owner keeps running');
    } finally {
        assert.equal(kw.stop().running, false);
    }
});

// Everything below drives the core through the test build's own record.

test('arming, events, and sequences across drains reach JS', () => {
    const { testing } = kt;
    kt.drain();
    const before = kt.status().epoch;
    testing.arm();
    let d = kt.drain();
    assert.equal(d.epoch, before + 1);
    assert.deepEqual(d.status, { ...kt.status() });
    assert.equal(d.status.failure, null);
    assert.equal(d.frames.length, 2);
    const [reset, snapshot] = d.frames;
    assert.deepEqual(Object.keys(reset), ['sequence', 'sourceMs', 'kind', 'reason']);
    assert.deepEqual({ ...reset, sourceMs: 0 }, { sequence: 1, sourceMs: 0, kind: 'reset', reason: 'backend' });
    assert.deepEqual(Object.keys(snapshot), ['sequence', 'sourceMs', 'kind', 'held', 'otherInput']);
    assert.deepEqual({ ...snapshot, sourceMs: 0 },
        { sequence: 2, sourceMs: 0, kind: 'snapshot', held: [], otherInput: false });
    assert.ok(reset.sourceMs <= d.clockMs);

    testing.key(1, 0x38, 0x2, 0xA5, 1234.5);   // right Alt down
    testing.key(1, 0x38, 0x2, 0xA5, 1235);     // auto-repeat: no frame
    testing.key(1, 0x1E, 0x0, 0x41, 1236);     // A down: Other
    testing.button(2, 0, true);               // a click while A is held: no frame
    d = kt.drain();
    assert.equal(d.frames.length, 2);
    assert.deepEqual(Object.keys(d.frames[0]), ['sequence', 'sourceMs', 'kind', 'key', 'down', 'repeat']);
    assert.deepEqual(d.frames[0], { sequence: 3, sourceMs: 1234.5, kind: 'event', key: 'RightAlt', down: true, repeat: false });
    assert.deepEqual(d.frames[1], { sequence: 4, sourceMs: 1236, kind: 'event', key: 'Other', down: true, repeat: false });

    testing.key(1, 0x1E, 0x1, 0x41, 1237);     // A up: the click still holds Other
    testing.button(2, 0, false);
    testing.key(1, 0x38, 0x3, 0xA5, 1238);     // right Alt up
    d = kt.drain();
    assert.deepEqual(d.frames.map((f) => [f.sequence, f.key, f.down]),
        [[5, 'Other', false], [6, 'RightAlt', false]]);
    assert.equal(kt.drain().frames.length, 0);
    assert.equal(kt.drain().epoch, before + 1);
});

test('every key name reaches JS', () => {
    const { testing } = kt;
    testing.arm();
    kt.drain();
    const keys = [[0x1D, 0, 0xA2], [0x1D, 2, 0xA3], [0x38, 0, 0xA4], [0x38, 2, 0xA5],
        [0x2A, 0, 0xA0], [0x36, 0, 0xA1], [0x5B, 2, 0x5B], [0x5C, 2, 0x5C], [0x1E, 0, 0x41]];
    for (const [make, flags, vkey] of keys) testing.key(9, make, flags, vkey);
    assert.deepEqual(kt.drain().frames.map((f) => f.key), ['LeftControl', 'RightControl', 'LeftAlt',
        'RightAlt', 'LeftShift', 'RightShift', 'LeftWin', 'RightWin', 'Other']);
});

test('a doubtful record disarms with its failure and a reset reason', () => {
    const { testing } = kt;
    testing.arm();
    const armedEpoch = kt.drain().epoch;
    testing.key(1, 0x1D, 0x1, 0xA2);           // release without press
    const d = kt.drain();
    assert.equal(d.epoch, armedEpoch + 1);
    assert.equal(d.status.failure, 'unmatched-release');
    assert.deepEqual(d.frames.map((f) => [f.sequence, f.kind, f.reason]), [[1, 'reset', 'incomplete']]);
    testing.key(1, 0x1D, 0x0, 0xA2);           // disarmed: dropped
    assert.equal(kt.drain().frames.length, 0);

    testing.arm();
    kt.drain();
    testing.key(1, 0x1D, 0x4, 0x13);           // Pause: E1 prefix
    assert.equal(kt.status().failure, 'keyboard-remapping-ambiguous');
});

test('overflow after arming: 254 events fit, the 255th resets', () => {
    const { testing } = kt;
    testing.arm();
    const armedEpoch = kt.status().epoch;
    testing.fill(254);
    assert.equal(kt.status().epoch, armedEpoch);
    testing.fill(1);
    const d = kt.drain();
    assert.equal(d.epoch, armedEpoch + 1);
    assert.equal(d.status.failure, 'native-queue-overflow');
    assert.deepEqual(d.frames.map((f) => [f.sequence, f.reason]), [[1, 'overflow']]);
});

test('a recurring notice costs one epoch', () => {
    const { testing } = kt;
    testing.arm();
    const armedEpoch = kt.status().epoch;
    testing.notice('device-arrived');
    testing.notice('device-arrived');
    assert.equal(kt.status().epoch, armedEpoch + 1);
    testing.notice('session-changed');
    const d = kt.drain();
    assert.equal(d.epoch, armedEpoch + 2);
    assert.equal(d.status.failure, 'session-changed');
    assert.deepEqual(d.frames.map((f) => f.reason), ['session']);
});

function inWorker(source) {
    return new Promise((resolve, reject) => {
        const worker = new Worker(source, { eval: true, workerData: { testModulePath, modulePath } });
        worker.once('message', resolve);
        worker.once('error', reject);
        worker.once('exit', (code) => code !== 0 && reject(new Error(`worker exited ${code}`)));
    });
}

test('each environment has its own record', async () => {
    const mainEpoch = kt.status().epoch;
    const seen = await inWorker(`
        const { parentPort, workerData } = require('node:worker_threads');
        const kt = require(workerData.testModulePath);
        const before = kt.drain();
        kt.testing.arm();
        kt.testing.key(5, 0x1D, 0, 0xA2);
        const after = kt.drain();
        parentPort.postMessage({ before, after });
    `);
    assert.equal(seen.before.epoch, 0);
    assert.equal(seen.before.frames.length, 0);
    assert.equal(seen.after.epoch, 1);
    assert.deepEqual(seen.after.frames.map((f) => f.kind), ['reset', 'snapshot', 'event']);
    assert.equal(kt.status().epoch, mainEpoch, 'the worker did not touch this environment');

    // A second worker starts from scratch; the first one's teardown ran its clean-up hook.
    const again = await inWorker(`
        const { parentPort, workerData } = require('node:worker_threads');
        parentPort.postMessage(require(workerData.testModulePath).status());
    `);
    assert.equal(again.epoch, 0);
});

// Synthesis, foreground pid and the remote-keys monitor through the shipped
// binding, on the simulated desktop (every keystroke accepted, no client in front).

test('sendKeys answers sent for the four commands and bad-command for anything else', () => {
    for (const command of ['paste', 'undo', 'newline', 'paragraph']) {
        assert.equal(kw.sendKeys(command), 'sent', command);
    }
    const bad = ['Paste', 'PASTE', ' paste', 'paste ', 'undo\n', '', 'paste'.padEnd(40, 'x'),
        'paragraph'.padEnd(16, 'x'), 42, { command: 'paste' }, null, undefined, ['paste']];
    for (const value of bad) {
        assert.equal(kw.sendKeys(value), 'bad-command', JSON.stringify(value));
    }
    assert.equal(kw.sendKeys(), 'bad-command', 'no argument');
    assert.equal(kw.sendKeys('paste', 'extra'), 'sent', 'only the first argument is read');
});

test('foregroundPid is an unsigned 32-bit integer', () => {
    const pid = kw.foregroundPid('ignored');
    assert.ok(Number.isInteger(pid) && pid >= 0 && pid <= 0xFFFFFFFF, String(pid));
    assert.equal(kw.foregroundPid(), pid);
});

test('remoteKeysState is idle without a client, started or not', () => {
    const idle = { active: false, client: '', modifiers: [], other: false };
    assert.deepEqual(Object.keys(kw.remoteKeysState()), ['active', 'client', 'modifiers', 'other']);
    assert.deepEqual(kw.remoteKeysState(), idle);
    assert.equal(kw.remoteKeysStop(), undefined, 'stop without a start');
    assert.equal(kw.remoteKeysStart(), undefined);
    assert.equal(kw.remoteKeysStart(), undefined);
    assert.deepEqual(kw.remoteKeysState(), idle);
    assert.equal(kw.remoteKeysStop(), undefined);
    assert.deepEqual(kw.remoteKeysState(), idle);
});
