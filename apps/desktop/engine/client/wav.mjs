// Reads the one WAV layout the engine takes without resampling:
// 16 kHz, mono, 16-bit PCM. Anything else is refused with a message that
// says what the file holds, so the user knows what to convert.

import { readFile } from 'node:fs/promises';

import { SAMPLE_RATE } from './protocol.mjs';

const FORMAT_PCM = 1;
const FORMAT_IEEE_FLOAT = 3;
const FORMAT_EXTENSIBLE = 0xfffe;

export class WavFormatError extends Error {
  constructor(message) {
    super(message);
    this.name = 'WavFormatError';
  }
}

function formatName(tag) {
  switch (tag) {
    case FORMAT_PCM: return 'PCM';
    case FORMAT_IEEE_FLOAT: return 'IEEE float';
    case 6: return 'A-law';
    case 7: return 'mu-law';
    case FORMAT_EXTENSIBLE: return 'extensible';
    default: return `format tag 0x${tag.toString(16)}`;
  }
}

/**
 * Parses WAV bytes. Returns {samples: Float32Array in -1..1, sampleRate,
 * channels, bitsPerSample}. Throws WavFormatError for anything other than
 * 16 kHz mono 16-bit PCM, or for a damaged file.
 * @param {Uint8Array} bytes
 * @param {string} [name] shown in messages
 */
export function parseWav(bytes, name = 'WAV data') {
  const buf = Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (buf.length < 12 || buf.toString('latin1', 0, 4) !== 'RIFF' || buf.toString('latin1', 8, 12) !== 'WAVE') {
    throw new WavFormatError(`${name} is not a WAV file (no RIFF/WAVE header)`);
  }
  // The RIFF size field is unreliable (streaming writers leave it wrong), so
  // the chunk walk is bounded by the bytes actually present.
  const end = buf.length;
  let fmt = null;
  let data = null;
  let offset = 12;
  while (offset + 8 <= end) {
    const id = buf.toString('latin1', offset, offset + 4);
    const size = buf.readUInt32LE(offset + 4);
    const body = offset + 8;
    if (id === 'fmt ') {
      if (size < 16 || body + size > buf.length) throw new WavFormatError(`${name} has a truncated fmt chunk`);
      fmt = {
        tag: buf.readUInt16LE(body),
        channels: buf.readUInt16LE(body + 2),
        sampleRate: buf.readUInt32LE(body + 4),
        bitsPerSample: buf.readUInt16LE(body + 14),
      };
      if (fmt.tag === FORMAT_EXTENSIBLE && size >= 40) {
        // The real format is the first two bytes of the sub-format GUID.
        fmt.tag = buf.readUInt16LE(body + 24);
      }
    } else if (id === 'data') {
      if (body + size > buf.length) {
        throw new WavFormatError(`${name} is truncated: its data chunk declares ${size} bytes but only ${buf.length - body} follow`);
      }
      data = { offset: body, size };
      if (fmt) break;
    }
    // Chunks are padded to an even size.
    offset = body + size + (size & 1);
  }
  if (!fmt) throw new WavFormatError(`${name} has no fmt chunk`);
  if (!data) throw new WavFormatError(`${name} has no data chunk`);

  const problems = [];
  if (fmt.tag !== FORMAT_PCM) problems.push(`${formatName(fmt.tag)} samples`);
  if (fmt.sampleRate !== SAMPLE_RATE) problems.push(`${fmt.sampleRate} Hz`);
  if (fmt.channels !== 1) problems.push(`${fmt.channels} channels`);
  if (fmt.bitsPerSample !== 16) problems.push(`${fmt.bitsPerSample}-bit`);
  if (problems.length > 0) {
    const found = `${formatName(fmt.tag)}, ${fmt.sampleRate} Hz, ${fmt.channels} channel${fmt.channels === 1 ? '' : 's'}, ${fmt.bitsPerSample}-bit`;
    throw new WavFormatError(
      `${name} is ${found}; only 16 kHz mono 16-bit PCM is accepted (wrong: ${problems.join(', ')}). ` +
        'Convert it first, e.g. with: ffmpeg -i in.wav -ar 16000 -ac 1 -c:a pcm_s16le out.wav');
  }
  if (data.size % 2 !== 0) throw new WavFormatError(`${name} has a data chunk of odd length ${data.size}`);

  const count = data.size / 2;
  const samples = new Float32Array(count);
  for (let i = 0; i < count; i++) samples[i] = buf.readInt16LE(data.offset + i * 2) / 32768;
  return { samples, sampleRate: fmt.sampleRate, channels: fmt.channels, bitsPerSample: fmt.bitsPerSample };
}

/** Reads and parses a WAV file (see parseWav). */
export async function readWav(path) {
  return parseWav(await readFile(path), path);
}
