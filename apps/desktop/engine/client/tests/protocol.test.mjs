import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  FrameKind, LineSplitter, MAX_FRAME_LENGTH, audioChunks, encodeAudioFrame, encodeFrame, errorFromLine, parseReplyLine,
} from '../protocol.mjs';

test('request frames: little-endian length over all four bytes, kind, payload in UTF-8', () => {
  assert.deepEqual([...encodeFrame(FrameKind.Ping)], [1, 0, 0, 0, 7]);
  assert.deepEqual([...encodeFrame(FrameKind.Audio, Buffer.alloc(0x10203)).subarray(0, 5)], [0x04, 0x02, 0x01, 0x00, 3]);
  const begin = { requestId: 1, language: 'de', prompt: 'Grüße 😀' };
  const frame = encodeFrame(FrameKind.Begin, begin);
  assert.equal(frame.readUInt32LE(0), 1 + Buffer.byteLength(JSON.stringify(begin)));
  assert.equal(frame.subarray(5).toString(), JSON.stringify(begin));
  assert.equal(encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH - 1)).readUInt32LE(0), 1920001);
  assert.throws(() => encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH)), RangeError);
});

test('audio frames: float32 little-endian samples of a range, at most 480,000 a frame', () => {
  assert.deepEqual([...encodeAudioFrame(new Float32Array([0, 1, -1, 0.5]))], [
    17, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0x80, 0xbf, 0, 0, 0, 0x3f,
  ]);
  const view = new Float32Array([9, 9, 0.25, -0.75, 2, 9]).subarray(2, 5); // byteOffset 8
  const frame = encodeAudioFrame(view, 1, 3);
  assert.deepEqual([frame.readUInt32LE(0), frame.readFloatLE(5), frame.readFloatLE(9)], [9, -0.75, 2]);
  assert.throws(() => encodeAudioFrame(new Float32Array(0)), RangeError);
  assert.throws(() => encodeAudioFrame(new Float32Array(480001)), RangeError);
  assert.deepEqual(audioChunks(0), []);
  assert.deepEqual(audioChunks(480001), [[0, 480000], [480000, 480001]]);
  assert.deepEqual(audioChunks(1000000).map(([s, e]) => e - s), [480000, 480000, 40000]);
  assert.deepEqual(audioChunks(10, 4), [[0, 4], [4, 8], [8, 10]]);
});

test('reply lines: split anywhere, multi-byte characters kept, bounded, JSON objects with a type', () => {
  const line = Buffer.from('{"type":"result","text":"é€😀"}\na\n\nb');
  const s = new LineSplitter();
  const got = [];
  for (let i = 0; i < line.length; i++) {
    const chunk = Buffer.from(line.subarray(i, i + 1));
    got.push(...s.push(chunk));
    chunk.fill(0x78); // the caller may reuse its chunk
  }
  assert.deepEqual(got, ['{"type":"result","text":"é€😀"}', 'a', '']);
  assert.equal(s.remainder, 1);
  const small = new LineSplitter(8);
  small.push(Buffer.from('12345678'));
  assert.throws(() => small.push(Buffer.from('9')), { code: 'PROTOCOL_ERROR' });
  assert.deepEqual(parseReplyLine('{"type":"pong"}'), { type: 'pong' });
  for (const bad of ['', 'pong', '[1]', '{"code":"BUSY"}', 'null', '{"type":5}']) {
    assert.throws(() => parseReplyLine(bad), { code: 'PROTOCOL_ERROR' }, bad);
  }
});

test('an error line becomes an Error with its code, and its request id only when it has one', () => {
  const e = errorFromLine({ type: 'error', code: 'BUSY', requestId: 5 });
  assert.ok(e instanceof Error);
  assert.deepEqual([e.code, e.requestId], ['BUSY', 5]);
  assert.match(e.message, /^BUSY: .*request 5/);
  const m = errorFromLine({ type: 'error', code: 'MODEL_MISSING' });
  assert.ok(!('requestId' in m));
  assert.match(m.message, /model file/);
});
