import assert from 'node:assert/strict';
import { test } from 'node:test';

import { WavFormatError, parseWav, readWav } from '../wav.mjs';

function chunk(id, body) {
  const head = Buffer.alloc(8);
  head.write(id, 0, 'latin1');
  head.writeUInt32LE(body.length, 4);
  return Buffer.concat([head, body, Buffer.alloc(body.length % 2)]);
}

function fmt({ tag = 1, channels = 1, rate = 16000, bits = 16, extensible = false } = {}) {
  const b = Buffer.alloc(extensible ? 40 : 16);
  b.writeUInt16LE(extensible ? 0xfffe : tag, 0);
  b.writeUInt16LE(channels, 2);
  b.writeUInt32LE(rate, 4);
  b.writeUInt32LE((rate * channels * bits) / 8, 8);
  b.writeUInt16LE((channels * bits) / 8, 12);
  b.writeUInt16LE(bits, 14);
  if (extensible) b.writeUInt16LE(22, 16), b.writeUInt16LE(tag, 24); // sub-format
  return chunk('fmt ', b);
}

const pcm16 = (values) => chunk('data', Buffer.from(Int16Array.from(values).buffer));
const riff = (...chunks) => chunk('RIFF', Buffer.concat([Buffer.from('WAVE'), ...chunks]));
const withRiffSize = (wav, size) => (wav.writeUInt32LE(size, 4), wav);

test('accepted files: 16 kHz mono 16-bit PCM anywhere among other chunks, samples in -1..1', () => {
  const list = chunk('LIST', Buffer.from('INFOISFT\x05\x00\x00\x00odd!!', 'latin1')); // odd length
  const cases = [
    [riff(fmt(), pcm16([0, 16384, -32768, 32767, -1])), [0, 0.5, -1, 32767 / 32768, -1 / 32768]],
    [riff(chunk('JUNK', Buffer.alloc(3)), fmt(), list, pcm16([100, -100]), chunk('id3 ', Buffer.alloc(10))), [100 / 32768, -100 / 32768]],
    [riff(pcm16([8192]), fmt()), [0.25]],
    ...[0xffffffff, 4].map((size) => [withRiffSize(riff(fmt(), pcm16([1, 2, 3])), size), [1, 2, 3].map((v) => v / 32768)]),
    [riff(fmt({ extensible: true }), pcm16([0, 0])), [0, 0]],
  ];
  for (const [wav, samples] of cases) assert.deepEqual([...parseWav(wav).samples], samples);
  assert.deepEqual(Object.entries(parseWav(cases[0][0])).filter(([k]) => k !== 'samples'),
    [['sampleRate', 16000], ['channels', 1], ['bitsPerSample', 16]]);
});

test('refused files name what they hold; a missing file is a plain file-system error', async () => {
  const data = pcm16([0, 0, 0, 0]);
  const cases = [
    [riff(fmt({ channels: 2 }), data), /^in\.wav is .*2 channels/],
    [riff(fmt({ rate: 8000 }), data), /^in\.wav is .*8000 Hz/],
    [riff(fmt({ bits: 8 }), data), /^in\.wav is .*8-bit/],
    [riff(fmt({ tag: 3, bits: 32 }), data), /^in\.wav is .*IEEE float.*32-bit/],
    [riff(fmt({ channels: 2, rate: 44100, bits: 24 }), data), /wrong: 44100 Hz, 2 channels, 24-bit/],
    [Buffer.from('ID3\x04 this is an mp3'), /not a WAV file/],
    [Buffer.alloc(0), /not a WAV file/],
    [Buffer.from('RIFF\x04\x00\x00\x00AVI LIST'), /not a WAV file/],
    [riff(fmt(), pcm16([1, 2, 3, 4])).subarray(0, 49), /truncated.*8 bytes but only 5/],
    [riff(pcm16([1])), /no fmt chunk/],
    [riff(fmt()), /no data chunk/],
    [riff(fmt()).subarray(0, 20), /no fmt chunk|truncated fmt/],
    [riff(fmt(), chunk('data', Buffer.alloc(3))), /odd length 3/],
  ];
  for (const [wav, message] of cases) {
    assert.throws(() => parseWav(wav, 'in.wav'), (err) => err instanceof WavFormatError && message.test(err.message), String(message));
  }
  for (const [wav] of cases.slice(0, 5)) assert.throws(() => parseWav(wav, 'in.wav'), /only 16 kHz mono 16-bit PCM/);
  await assert.rejects(readWav('no-such-file.wav'), { code: 'ENOENT' });
});
