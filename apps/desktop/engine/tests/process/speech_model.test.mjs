// Real speech through the real engine with the committed toy model (digits
// and a few dozen dictation words, trained on synthetic speech), on held-out
// voices it was never trained on. The accuracy over all of them is a
// benchmark figure (tools/speech-model/bench.mjs); retraining means re-pinning.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { parseWav } from '../../client/wav.mjs';
import { FIXTURES } from '../../tools/speech-model/bench.mjs';
import { LOAD_OPTIONS, MODEL_PATH } from '../../tools/speech-model/model.mjs';
import { LiveEngine, audio, begin, finish, load } from './harness.mjs';

const manifest = JSON.parse(readFileSync(join(FIXTURES, 'manifest.json'), 'utf8'));
const fixture = (name) => manifest.find((f) => f.file === name);
const samplesOf = (name) => parseWav(readFileSync(join(FIXTURES, name)), name).samples;

let engine;
let nextId = 1;

before(async () => {
  engine = new LiveEngine();
  assert.match(await engine.next(), /"type":"hello"/);
  assert.match(await engine.ask(load(MODEL_PATH, LOAD_OPTIONS)), /^\{"type":"ready",/);
});
after(() => engine.close());

/** One dictation request; resolves to the result message and the engine's log of it. */
async function dictate(name, { language = 'en', prompt = '' } = {}) {
  const requestId = nextId++;
  engine.stderr = '';
  const line = await engine.ask(begin(requestId, language, prompt), audio(samplesOf(name)), finish(requestId));
  const msg = JSON.parse(line);
  assert.deepEqual([msg.type, msg.requestId], ['result', requestId], line);
  // The log comes on another pipe: written before the result, it may be read after it.
  while (!/quillet-whisper: decoded .*\n/.test(engine.stderr)) await new Promise((r) => setTimeout(r, 10));
  return { msg, log: engine.stderr };
}

test('held-out speech decodes word for word at 256 positions', async () => {
  // Some of the fixtures the committed model decodes word for word.
  for (const n of [0, 3, 7, 10, 13, 20, 24, 29]) {
    const name = `held-out-${String(n).padStart(2, '0')}.wav`;
    const { msg, log } = await dictate(name);
    assert.equal(msg.text, fixture(name).words.join(' '), name);
    assert.match(log, /audio_ctx=256 /, name); // trained at 256 encoder positions
    assert.equal(msg.audioMs, Math.floor(samplesOf(name).length / 16));
  }
});

test('audio longer than one window: both phrases, joined across the segments', async () => {
  const f = fixture('two-phrases.wav');
  const { msg, log } = await dictate(f.file);
  assert.ok(msg.audioMs > 5120, 'the fixture is longer than one audio context');
  assert.ok(Number(/decoded \d+ ms audio in \d+ ms, (\d+) segments/.exec(log)?.[1]) >= 2, log);
  // Exact up to a repeated last word (the model hears its tail again in a
  // third window); the segments join with single spaces and no padding.
  assert.ok(msg.text.startsWith(f.words.join(' ')), msg.text);
  assert.match(msg.text, /^\S+( \S+)*$/);
});

test('the prompt and the language reach the decoder', async () => {
  const f = fixture('numbers.wav');
  // without a prompt, number words come out as words
  const plain = await dictate(f.file, { language: 'en' });
  assert.equal(plain.msg.text, f.words.join(' '));
  // a prompt written in digits asks for digits; "1 2 3" is three tokens here
  const prompted = await dictate(f.file, { language: 'en', prompt: '1 2 3' });
  assert.match(prompted.log, /language=en .*prompt_tokens=3\n/);
  assert.equal(prompted.msg.text, f.digits.join(' '));
  // "auto" has the model pick the language token itself: English
  const auto = await dictate(f.file, { language: 'auto' });
  assert.match(auto.log, /language=auto .*prompt_tokens=0\n/);
  assert.equal(auto.msg.text, f.words.join(' '));
});
