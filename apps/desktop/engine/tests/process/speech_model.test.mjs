// Real speech through the real engine with the committed toy model (digits
// and a few dozen dictation words, trained on synthetic speech), on held-out
// voices it was never trained on, spoken word by word and as whole phrases.
// The accuracy over all of them is a benchmark figure
// (tools/speech-model/bench.mjs); retraining means re-pinning.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { parseWav } from '../../client/wav.mjs';
import { FIXTURES } from '../../tools/speech-model/bench.mjs';
import { LOAD_OPTIONS, MODEL_PATH } from '../../tools/speech-model/model.mjs';
import { LiveEngine, audio, begin, finish, liveEngine, load } from './harness.mjs';

const manifest = JSON.parse(readFileSync(join(FIXTURES, 'manifest.json'), 'utf8'));
const fixture = (name) => manifest.find((f) => f.file === name);
const samplesOf = (name) => parseWav(readFileSync(join(FIXTURES, name)), name).samples;

const engine = await liveEngine({ after });
before(async () => assert.match(await engine.ask(load(MODEL_PATH, LOAD_OPTIONS)), /^\{"type":"ready",/));
let nextId = 1;

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

// The fixtures the committed model gets wrong; the model card lists them.
const misses = new Set([
  'held-out-15.wav', 'held-out-18.wav', 'held-out-19.wav',
  'phrase-00.wav', 'phrase-03.wav', 'phrase-06.wav', 'phrase-07.wav', 'phrase-09.wav',
]);

test('held-out speech decodes word for word at 256 positions, word by word and as one phrase', async () => {
  const pinned = manifest.filter((f) => ['isolated', 'continuous'].includes(f.kind) && !misses.has(f.file));
  assert.ok(pinned.filter((f) => f.kind === 'continuous').length >= 15, 'continuous phrases are pinned');
  for (const f of pinned) {
    const { msg, log } = await dictate(f.file);
    assert.equal(msg.text, f.words.join(' '), `${f.file} (${f.kind})`);
    assert.match(log, /audio_ctx=256 /, f.file); // trained at 256 encoder positions
  }
});

test('audio longer than one window: both phrases, joined across the segments', async () => {
  const f = fixture('two-phrases.wav');
  const { msg, log } = await dictate(f.file);
  assert.ok(msg.audioMs > 5120, 'the fixture is longer than one audio context');
  assert.ok(Number(/decoded \d+ ms audio in \d+ ms, (\d+) segments/.exec(log)?.[1]) >= 2, log);
  // Each phrase whole and in order; the model may hear the tail of a word
  // again in the next window (the card lists it). The segments join with
  // single spaces and no padding.
  const [first, second] = f.phrases.map((p) => p.join(' '));
  assert.ok(msg.text.startsWith(first) && msg.text.indexOf(second) > first.length, msg.text);
  assert.match(msg.text, /^\S+( \S+)*$/);
});

test('the prompt and the language reach the decoder', async () => {
  const f = fixture('numbers.wav');
  // without a prompt, number words come out as words
  const plain = await dictate(f.file, { language: 'en' });
  assert.equal(plain.msg.text, f.words.join(' '));
  // a prompt written in digits asks for digits; "4 5" is two tokens here
  // (after three digits the model repeats the last word: the card lists it)
  const prompted = await dictate(f.file, { language: 'en', prompt: '4 5' });
  assert.match(prompted.log, /language=en .*prompt_tokens=2\n/);
  assert.equal(prompted.msg.text, f.digits.join(' '));
  // "auto" has the model pick the language token itself: English
  const auto = await dictate(f.file, { language: 'auto' });
  assert.match(auto.log, /language=auto .*prompt_tokens=0\n/);
  assert.equal(auto.msg.text, f.words.join(' '));
});

// Eight threads on a machine with fewer cores wait for each other at every
// step of the computation and mostly end those waits asleep: a lost wake-up
// hangs the decode (the time-out turns that into a failure), and the words
// must not depend on the thread count.
test('eight decode threads read the same words as one', { timeout: 120000 }, async (t) => {
  const wide = new LiveEngine();
  t.after(() => wide.child.kill('SIGKILL'));
  assert.match(await wide.next(), /"type":"hello"/);
  assert.match(await wide.ask(load(MODEL_PATH, { ...LOAD_OPTIONS, threads: 8 })), /^\{"type":"ready",/);
  const phrases = manifest.filter((f) => f.kind === 'continuous' && !misses.has(f.file)).slice(0, 4);
  for (const [i, f] of phrases.entries()) {
    const line = await wide.ask(begin(i + 1), audio(samplesOf(f.file)), finish(i + 1));
    assert.equal(JSON.parse(line).text, f.words.join(' '), f.file);
  }
});
