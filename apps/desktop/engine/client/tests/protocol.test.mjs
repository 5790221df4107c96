import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  FrameKind, LineSplitter, MAX_FRAME_LENGTH, audioChunks, encodeAudioFrame, encodeFrame, errorFromLine, parseReplyLine,
} from '../protocol.mjs';

test('frames: little-endian length over all four bytes, kind, UTF-8 payload; float32 audio of a range', () => {
  assert.deepEqual([...encodeFrame(FrameKind.Ping)], [1, 0, 0, 0, 7]);
  assert.deepEqual([...encodeFrame(FrameKind.Audio, Buffer.alloc(0x10203)).subarray(0, 5)], [0x04, 0x02, 0x01, 0x00, 3]);
  const json = JSON.stringify({ requestId: 1, language: 'de', prompt: 'Grüße 😀' });
  const frame = encodeFrame(FrameKind.Begin, JSON.parse(json));
  assert.deepEqual([frame.readUInt32LE(0), frame.subarray(5).toString()], [1 + Buffer.byteLength(json), json]);
  assert.equal(encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH - 1)).readUInt32LE(0), MAX_FRAME_LENGTH);
  assert.throws(() => encodeFrame(FrameKind.Audio, Buffer.alloc(MAX_FRAME_LENGTH)),
    { name: 'RangeError', code: 'ERR_OUT_OF_RANGE' });
  assert.deepEqual([...encodeAudioFrame(new Float32Array([0, 1, -1, 0.5]))],
    [17, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0x80, 0xbf, 0, 0, 0, 0x3f]);
  const audio = encodeAudioFrame(new Float32Array([9, 9, 0.25, -0.75, 2, 9]).subarray(2, 5), 1, 3); // byteOffset 8
  assert.deepEqual([audio.readUInt32LE(0), audio.readFloatLE(5), audio.readFloatLE(9)], [9, -0.75, 2]);
  for (const n of [0, 480001]) {
    assert.throws(() => encodeAudioFrame(new Float32Array(n)), { name: 'RangeError', code: 'ERR_OUT_OF_RANGE' });
  }
  assert.deepEqual(audioChunks(0), []);
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
  assert.deepEqual([got, s.remainder], [['{"type":"result","text":"é€😀"}', 'a', ''], 1]);
  const small = new LineSplitter(8);
  small.push(Buffer.from('12345678'));
  assert.throws(() => small.push(Buffer.from('9')), { code: 'PROTOCOL_ERROR' });
  assert.deepEqual(parseReplyLine('{"type":"pong"}'), { type: 'pong' });
  for (const bad of ['', 'pong', '[1]', '{"code":"BUSY"}', 'null', '{"type":5}']) {
    assert.throws(() => parseReplyLine(bad), { code: 'PROTOCOL_ERROR' }, bad);
  }
  // An error line's message leads with its code and names its request.
  assert.equal(errorFromLine({ type: 'error', code: 'BUSY', requestId: 5 }).message, 'BUSY: another request is active (request 5)');
});
