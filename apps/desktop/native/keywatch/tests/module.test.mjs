// What JS sees of the built modules, one path per export; the test build adds "testing" (sim_driver.cpp).
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
const statusOf = (running, epoch, failure) =>
    ({ platform: 'win32', accessibility: 'unsupported', listen: 'unsupported', running, epoch, failure });

async function until(get, pred) {
    let value = get();
    for (const end = Date.now() + 5000; !pred(value) && Date.now() < end; value = get()) {
        await new Promise((resolve) => setTimeout(resolve, 5));
    }
    return value;
}

// Runs source in a worker environment; resolves with its message once it has exited.
function inWorker(source) {
    return new Promise((resolve, reject) => {
        const worker = new Worker(source, { eval: true, workerData: { testModulePath, modulePath } });
        let message;
        worker.once('message', (m) => { message = m; });
        worker.once('error', reject);
        worker.once('exit', (code) => (code === 0 ? resolve(message) : reject(new Error(`worker exited ${code}`))));
    });
}

test('registration defines the nine exports in order; status and drain before any start', () => {
    assert.deepEqual(Object.getOwnPropertyNames(kw), exportNames);
    for (const name of exportNames) {
        const d = Object.getOwnPropertyDescriptor(kw, name);
        assert.deepEqual([typeof d.value, d.writable, d.enumerable, d.configurable], ['function', false, false, false]);
    }
    assert.deepEqual(kw.status('ignored'), statusOf(false, 0, null));
    const d = kw.drain();
    assert.deepEqual(Object.keys(d), ['epoch', 'clockMs', 'status', 'frames']);
    assert.deepEqual([d.epoch, d.status, d.frames], [0, statusOf(false, 0, null), []]);
    assert.ok(d.clockMs > 0 && kw.drain().clockMs >= d.clockMs);
});

test('a whole capture through the worker: start, arm, keys, drain, stop', async () => {
    const started = kt.start('ignored');
    assert.deepEqual(started, statusOf(true, started.epoch, 'awaiting-neutral'));
    assert.equal((await until(() => kt.status(), (s) => s.failure === null)).failure, null, 'armed');
    const armed = kt.drain();
    assert.equal(armed.epoch, started.epoch + 1);
    assert.deepEqual(armed.frames.map((f) => ({ ...f, sourceMs: 0 })), [
        { sequence: 1, sourceMs: 0, kind: 'reset', reason: 'backend' },
        { sequence: 2, sourceMs: 0, kind: 'snapshot', held: [], otherInput: false },
    ]);

    // Raw input names Control by its generic code; the physical key is the left one.
    assert.ok(kt.testing.rawKey(1, 0x1D, 0x0, 0x11, 0xA2));
    assert.ok(kt.testing.rawKey(1, 0x1E, 0x0, 0x41));
    assert.ok(kt.testing.rawKey(1, 0x1E, 0x1, 0x41));
    assert.ok(kt.testing.rawKey(1, 0x1D, 0x1, 0x11, 0xA2));
    const frames = [];
    await until(() => frames.push(...kt.drain().frames), () => frames.length >= 4);
    assert.deepEqual(frames.map(({ sourceMs, ...f }) => f), [
        { sequence: 3, kind: 'event', key: 'LeftControl', down: true, repeat: false },
        { sequence: 4, kind: 'event', key: 'Other', down: true, repeat: false },
        { sequence: 5, kind: 'event', key: 'Other', down: false, repeat: false },
        { sequence: 6, kind: 'event', key: 'LeftControl', down: false, repeat: false },
    ]);
    assert.ok(frames.every((f, i) => i === 0 || f.sourceMs >= frames[i - 1].sourceMs));

    assert.deepEqual(kt.stop(), statusOf(false, armed.epoch + 1, null));
    assert.deepEqual(kt.drain().frames.map((f) => f.reason), ['shutdown']);
    assert.deepEqual(kt.stop(), kt.status(), 'a second stop changes nothing');
});

test('a second environment has its own record and finds raw input owned', async () => {
    assert.equal(kw.start().running, true);
    try {
        const seen = await inWorker(`
            const { parentPort, workerData } = require('node:worker_threads');
            const kw = require(workerData.modulePath);
            const before = kw.status();
            parentPort.postMessage({ before, started: kw.start() });`);
        assert.deepEqual(seen.before, statusOf(false, 0, null));
        assert.deepEqual([seen.started.running, seen.started.failure], [false, 'raw-input-already-owned']);
        assert.equal(kw.status().running, true, 'the owner keeps running');
    } finally {
        kw.stop();
    }
});

test('an environment torn down stops its capture and the remote-keys monitor', async () => {
    const seen = await inWorker(`
        const { parentPort, workerData } = require('node:worker_threads');
        const kt = require(workerData.testModulePath);
        kt.remoteKeysStart();
        parentPort.postMessage({ started: kt.start().running, monitor: kt.testing.monitorHeld() });`);
    assert.deepEqual(seen, { started: true, monitor: true });
    assert.equal(kt.testing.monitorHeld(), false);
    assert.equal(kt.start().running, true, 'raw input was given back');
    kt.stop();
});

test('sendKeys, foregroundPid and remoteKeysState through the binding', () => {
    assert.equal(kw.sendKeys('paste', 'extra'), 'sent');
    for (const value of ['paste'.padEnd(40, 'x'), 42]) { // the text checks themselves are SendKeys.*
        assert.equal(kw.sendKeys(value), 'bad-command', String(value));
    }
    assert.equal(kw.foregroundPid('ignored'), 4240, 'the simulated foreground process');
    kw.remoteKeysStart();
    assert.deepEqual(kw.remoteKeysState(), { active: false, client: '', modifiers: [], other: false });
    assert.equal(kw.remoteKeysStop(), undefined);
});
