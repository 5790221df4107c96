import assert from 'node:assert/strict';
import path from 'node:path';
import { describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { WavFormatError, parseWav, readWav } from '../wav.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));

function chunk(id, body) {
  const head = Buffer.alloc(8);
  head.write(id, 0, 'latin1');
  head.writeUInt32LE(body.length, 4);
  return body.length % 2 ? Buffer.concat([head, body, Buffer.alloc(1)]) : Buffer.concat([head, body]);
}

function fmtChunk({ tag = 1, channels = 1, rate = 16000, bits = 16 } = {}) {
  const b = Buffer.alloc(16);
  b.writeUInt16LE(tag, 0);
  b.writeUInt16LE(channels, 2);
  b.writeUInt32LE(rate, 4);
  b.writeUInt32LE((rate * channels * bits) / 8, 8);
  b.writeUInt16LE((channels * bits) / 8, 12);
  b.writeUInt16LE(bits, 14);
  return chunk('fmt ', b);
}

function pcm16(values) {
  const b = Buffer.alloc(values.length * 2);
  values.forEach((v, i) => b.writeInt16LE(v, i * 2));
  return b;
}

function riff(...chunks) {
  const body = Buffer.concat([Buffer.from('WAVE'), ...chunks]);
  const head = Buffer.alloc(8);
  head.write('RIFF', 0, 'latin1');
  head.writeUInt32LE(body.length, 4);
  return Buffer.concat([head, body]);
}

describe('accepted WAV files', () => {
  test('16-bit samples map to -1..1', () => {
    const wav = riff(fmtChunk(), chunk('data', pcm16([0, 16384, -32768, 32767, -1])));
    const { samples, sampleRate, channels, bitsPerSample } = parseWav(wav);
    assert.equal(sampleRate, 16000);
    assert.equal(channels, 1);
    assert.equal(bitsPerSample, 16);
    assert.deepEqual([...samples], [0, 0.5, -1, 32767 / 32768, -1 / 32768]);
  });

  test('unknown chunks before and after the data are skipped, odd sizes padded', () => {
    const list = chunk('LIST', Buffer.from('INFOISFT\x05\x00\x00\x00odd!!', 'latin1')); // odd length
    const wav = riff(chunk('JUNK', Buffer.alloc(3)), fmtChunk(), list, chunk('data', pcm16([100, -100])), chunk('id3 ', Buffer.alloc(10)));
    assert.deepEqual([...parseWav(wav).samples], [100 / 32768, -100 / 32768]);
  });

  test('a data chunk ahead of the fmt chunk is still found', () => {
    const wav = riff(chunk('data', pcm16([8192])), fmtChunk());
    assert.deepEqual([...parseWav(wav).samples], [0.25]);
  });

  test('a wrong RIFF size does not hide the chunks', () => {
    const wav = riff(fmtChunk(), chunk('data', pcm16([1, 2, 3])));
    wav.writeUInt32LE(0xffffffff, 4);
    assert.equal(parseWav(wav).samples.length, 3);
    wav.writeUInt32LE(4, 4);
    assert.equal(parseWav(wav).samples.length, 3);
  });

  test('an extensible header holding PCM is accepted', () => {
    const b = Buffer.alloc(40);
    b.writeUInt16LE(0xfffe, 0);
    b.writeUInt16LE(1, 2);
    b.writeUInt32LE(16000, 4);
    b.writeUInt32LE(32000, 8);
    b.writeUInt16LE(2, 12);
    b.writeUInt16LE(16, 14);
    b.writeUInt16LE(22, 16);
    b.writeUInt16LE(1, 24); // sub-format: PCM
    const wav = riff(chunk('fmt ', b), chunk('data', pcm16([0, 0])));
    assert.equal(parseWav(wav).samples.length, 2);
  });

  test('the shipped sample is a few seconds of 16 kHz mono speech', async () => {
    const { samples } = await readWav(path.join(here, '../../samples/hello-world.wav'));
    assert.ok(samples.length > 2 * 16000 && samples.length < 10 * 16000, `${samples.length} samples`);
    const peak = samples.reduce((m, v) => Math.max(m, Math.abs(v)), 0);
    assert.ok(peak > 0.1, 'the sample is not silent');
  });
});

describe('refused WAV files name what they hold', () => {
  const data = chunk('data', pcm16([0, 0, 0, 0]));
  const cases = [
    ['stereo', { channels: 2 }, /2 channels/],
    ['8 kHz', { rate: 8000 }, /8000 Hz/],
    ['8-bit', { bits: 8 }, /8-bit/],
    ['32-bit float', { tag: 3, bits: 32 }, /IEEE float.*32-bit/],
  ];
  for (const [name, fmt, pattern] of cases) {
    test(name, () => {
      assert.throws(() => parseWav(riff(fmtChunk(fmt), data), 'in.wav'), (err) => {
        assert.ok(err instanceof WavFormatError);
        assert.match(err.message, /^in\.wav is /);
        assert.match(err.message, pattern);
        assert.match(err.message, /only 16 kHz mono 16-bit PCM/);
        return true;
      });
    });
  }

  test('every wrong property is listed', () => {
    assert.throws(() => parseWav(riff(fmtChunk({ channels: 2, rate: 44100, bits: 24 }), data)),
      /wrong: 44100 Hz, 2 channels, 24-bit/);
  });
});

describe('damaged files', () => {
  test('not a RIFF/WAVE file', () => {
    assert.throws(() => parseWav(Buffer.from('ID3\x04 this is an mp3')), /not a WAV file/);
    assert.throws(() => parseWav(Buffer.alloc(0)), /not a WAV file/);
    assert.throws(() => parseWav(Buffer.from('RIFF\x04\x00\x00\x00AVI LIST')), /not a WAV file/);
  });

  test('a data chunk cut short is reported as truncated', () => {
    const wav = riff(fmtChunk(), chunk('data', pcm16([1, 2, 3, 4])));
    assert.throws(() => parseWav(wav.subarray(0, wav.length - 3)), /truncated.*8 bytes but only 5/);
  });

  test('a missing fmt or data chunk is named', () => {
    assert.throws(() => parseWav(riff(chunk('data', pcm16([1])))), /no fmt chunk/);
    assert.throws(() => parseWav(riff(fmtChunk())), /no data chunk/);
    assert.throws(() => parseWav(riff(fmtChunk()).subarray(0, 20)), /no fmt chunk|truncated fmt/);
  });

  test('half a sample at the end is refused', () => {
    assert.throws(() => parseWav(riff(fmtChunk(), chunk('data', Buffer.alloc(3)))), /odd length 3/);
  });

  test('a missing file is a plain file-system error', async () => {
    await assert.rejects(readWav(path.join(here, 'no-such-file.wav')), { code: 'ENOENT' });
  });
});
