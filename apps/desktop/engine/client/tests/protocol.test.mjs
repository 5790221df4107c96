import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import {
  FrameKind,
  LineSplitter,
  MAX_FRAME_LENGTH,
  audioChunks,
  encodeAudioFrame,
  encodeFrame,
  errorFromLine,
  parseReplyLine,
  replyOwner,
} from '../protocol.mjs';

describe('request frames', () => {
  test('an empty frame is the length 1 and the kind byte', () => {
    assert.deepEqual([...encodeFrame(FrameKind.Ping)], [1, 0, 0, 0, 7]);
    assert.deepEqual([...encodeFrame(FrameKind.Shutdown)], [1, 0, 0, 0, 8]);
  });

  test('a JSON payload is counted in UTF-8 bytes, little-endian', () => {
    const frame = encodeFrame(FrameKind.Finish, { requestId: 7 });
    const json = '{"requestId":7}';
    assert.equal(frame.readUInt32LE(0), 1 + json.length);
    assert.equal(frame[4], 4);
    assert.equal(frame.subarray(5).toString(), json);

    const begin = encodeFrame(FrameKind.Begin, { requestId: 1, language: 'de', prompt: 'Grüße 😀' });
    const bytes = Buffer.byteLength(JSON.stringify({ requestId: 1, language: 'de', prompt: 'Grüße 😀' }));
    assert.equal(begin.readUInt32LE(0), 1 + bytes);
    assert.equal(begin.length, 5 + bytes);
  });

  test('the length field uses all four bytes', () => {
    const frame = encodeFrame(FrameKind.Audio, Buffer.alloc(0x10203));
    assert.deepEqual([...frame.subarray(0, 5)], [0x04, 0x02, 0x01, 0x00, 3]);
  });

  test('frames beyond the engine limit are refused before sending', () => {
    assert.equal(encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH - 1)).readUInt32LE(0), 1920001);
    assert.throws(() => encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH)), RangeError);
  });
});

describe('audio frames', () => {
  test('samples are little-endian float32 after kind 3', () => {
    const frame = encodeAudioFrame(new Float32Array([0, 1, -1, 0.5]));
    assert.deepEqual([...frame], [
      17, 0, 0, 0, 3,
      0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x80, 0x3f,
      0x00, 0x00, 0x80, 0xbf,
      0x00, 0x00, 0x00, 0x3f,
    ]);
  });

  test('a range of a view into a larger buffer takes the right samples', () => {
    const backing = new Float32Array([9, 9, 0.25, -0.75, 2, 9]);
    const view = backing.subarray(2, 5); // byteOffset 8
    const frame = encodeAudioFrame(view, 1, 3);
    assert.equal(frame.readUInt32LE(0), 9);
    assert.equal(frame.readFloatLE(5), -0.75);
    assert.equal(frame.readFloatLE(9), 2);
  });

  test('an empty or oversized frame is refused', () => {
    assert.throws(() => encodeAudioFrame(new Float32Array(0)), RangeError);
    assert.throws(() => encodeAudioFrame(new Float32Array(480001)), RangeError);
    assert.equal(encodeAudioFrame(new Float32Array(480000)).readUInt32LE(0), 1920001);
  });

  test('long audio is cut into frames of at most 480,000 samples', () => {
    assert.deepEqual(audioChunks(0), []);
    assert.deepEqual(audioChunks(1), [[0, 1]]);
    assert.deepEqual(audioChunks(480000), [[0, 480000]]);
    assert.deepEqual(audioChunks(480001), [[0, 480000], [480000, 480001]]);
    const ten = audioChunks(9600000);
    assert.equal(ten.length, 20);
    assert.ok(ten.every(([s, e]) => e - s === 480000));
    const odd = audioChunks(1000000);
    assert.deepEqual(odd.map(([s, e]) => e - s), [480000, 480000, 40000]);
    assert.deepEqual(audioChunks(10, 4), [[0, 4], [4, 8], [8, 10]]);
  });
});

describe('reply lines', () => {
  test('a line split across chunks is delivered once, whole', () => {
    const s = new LineSplitter();
    assert.deepEqual(s.push(Buffer.from('{"type":"po')), []);
    assert.deepEqual(s.push(Buffer.from('ng"}\n{"type":"unl')), ['{"type":"pong"}']);
    assert.deepEqual(s.push(Buffer.from('oaded"}\n')), ['{"type":"unloaded"}']);
    assert.equal(s.remainder, 0);
  });

  test('several lines in one chunk keep their order', () => {
    const s = new LineSplitter();
    assert.deepEqual(s.push(Buffer.from('a\nb\n\nc')), ['a', 'b', '']);
    assert.equal(s.remainder, 1);
    assert.deepEqual(s.push(Buffer.from('\n')), ['c']);
  });

  test('a multi-byte character cut between chunks survives', () => {
    const line = Buffer.from('{"type":"result","text":"é€😀"}\n');
    const s = new LineSplitter();
    const got = [];
    for (let i = 0; i < line.length; i++) got.push(...s.push(line.subarray(i, i + 1)));
    assert.deepEqual(got.map((t) => JSON.parse(t).text), ['é€😀']);
  });

  test('the chunk may be reused by the caller after push', () => {
    const s = new LineSplitter();
    const chunk = Buffer.from('abc');
    s.push(chunk);
    chunk.fill(0x78);
    assert.deepEqual(s.push(Buffer.from('\n')), ['abc']);
  });

  test('an endless line is a protocol error, not unbounded memory', () => {
    const s = new LineSplitter(8);
    s.push(Buffer.from('12345678'));
    assert.throws(() => s.push(Buffer.from('9')), { code: 'PROTOCOL_ERROR' });
  });

  test('only JSON objects with a type are replies', () => {
    assert.deepEqual(parseReplyLine('{"type":"pong"}'), { type: 'pong' });
    for (const bad of ['', 'pong', '[1]', '{"code":"BUSY"}', 'null', '{"type":5}']) {
      assert.throws(() => parseReplyLine(bad), { code: 'PROTOCOL_ERROR' }, bad);
    }
  });
});

describe('errors', () => {
  test('an error line becomes an Error with its code and request id', () => {
    const e = errorFromLine({ type: 'error', code: 'BUSY', requestId: 5 });
    assert.ok(e instanceof Error);
    assert.equal(e.code, 'BUSY');
    assert.equal(e.requestId, 5);
    assert.match(e.message, /^BUSY: .*request 5/);
  });

  test('an error without a request id has no requestId property', () => {
    const e = errorFromLine({ type: 'error', code: 'MODEL_MISSING' });
    assert.equal(e.code, 'MODEL_MISSING');
    assert.ok(!('requestId' in e));
    assert.match(e.message, /model file/);
  });
});

describe('which frame a line answers', () => {
  const begin = { kind: FrameKind.Begin, requestId: 4 };
  const audio = { kind: FrameKind.Audio };
  const finish = { kind: FrameKind.Finish, requestId: 4 };
  const cancel = { kind: FrameKind.Cancel };
  const load = { kind: FrameKind.Load };
  const err = (code, requestId) => (requestId === undefined ? { type: 'error', code } : { type: 'error', code, requestId });

  test('a refused Begin owns only errors carrying its own id', () => {
    for (const code of ['NOT_LOADED', 'BUSY', 'LANGUAGE_UNSUPPORTED']) {
      assert.ok(replyOwner(begin, err(code, 4)), code);
      assert.ok(!replyOwner(begin, err(code, 5)), code);
    }
    assert.ok(replyOwner(begin, err('BAD_FRAME')));
    assert.ok(!replyOwner(begin, err('NO_REQUEST', 4)));
    assert.ok(!replyOwner(begin, { type: 'result', requestId: 4, text: '' }));
  });

  test('Audio owns the intake errors, with or without the active id', () => {
    assert.ok(replyOwner(audio, err('AUDIO_TOO_LONG', 4)));
    assert.ok(replyOwner(audio, err('OUT_OF_MEMORY', 4)));
    assert.ok(replyOwner(audio, err('NO_REQUEST')));
    assert.ok(!replyOwner(audio, err('NO_REQUEST', 4)));
    assert.ok(!replyOwner(audio, err('BUSY', 4)));
  });

  test('Finish owns its result and its id-carrying errors only', () => {
    assert.ok(replyOwner(finish, { type: 'result', requestId: 4, text: 'x' }));
    assert.ok(!replyOwner(finish, { type: 'result', requestId: 3, text: 'x' }));
    assert.ok(replyOwner(finish, err('NO_REQUEST', 4)));
    assert.ok(replyOwner(finish, err('DECODE_FAILED', 4)));
    assert.ok(replyOwner(finish, err('INTERNAL')));
    assert.ok(!replyOwner(finish, err('NO_REQUEST', 9)));
    assert.ok(!replyOwner(finish, { type: 'pong' }));
  });

  test('Cancel is answered only when unreadable', () => {
    assert.ok(replyOwner(cancel, err('BAD_FRAME')));
    assert.ok(!replyOwner(cancel, err('NO_REQUEST', 4)));
    assert.ok(!replyOwner(cancel, { type: 'pong' }));
  });

  test('Load owns ready and errors without an id', () => {
    assert.ok(replyOwner(load, { type: 'ready', version: 2, device: 'cpu', loadMs: 1, fallback: false }));
    assert.ok(replyOwner(load, err('MODEL_MISSING')));
    assert.ok(!replyOwner(load, err('NOT_LOADED', 1)));
    assert.ok(!replyOwner(load, { type: 'pong' }));
  });
});
