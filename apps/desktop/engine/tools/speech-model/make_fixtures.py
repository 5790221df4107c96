"""Held-out WAV fixtures for the engine's tests and benchmark, and the demo
sample: voice settings that training never saw.

usage: make_fixtures.py FIXTURE_DIR SAMPLE_WAV
       make_fixtures.py --measure DIR N
The first writes FIXTURE_DIR/*.wav, FIXTURE_DIR/manifest.json and SAMPLE_WAV.
The second writes N utterances of each speaking style to DIR (with a
manifest the benchmark reads), from a seed that neither training nor the
fixtures use: the model card's figures."""

import json
import os
import random
import sys
import wave

import numpy as np

import common as C
from make_data import speak

N_ISOLATED = 20
N_CONTINUOUS = 20
DEMO = ['hello', 'world', 'send', 'message']


def silence(seconds):
    return np.zeros(int(seconds * C.SAMPLE_RATE), dtype='<i2')


def write_wav(path, x):
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(C.SAMPLE_RATE)
        w.writeframes(x.astype('<i2').tobytes())


class Writer:
    """Utterances in held-out voice settings, written as WAV files and
    listed in a manifest."""

    def __init__(self, out, seed):
        self.out, self.rng, self.manifest = out, random.Random(seed), []
        self.held_out = C.voice_split()[1]
        os.makedirs(out, exist_ok=True)

    def voice(self):
        r = self.rng
        return dict(voice=r.choice(self.held_out), speed=r.randint(130, 200), pitch=r.randint(25, 75))

    def words(self, style):
        # a continuous phrase has two words at least: one word is the same in both styles
        r = self.rng
        return [r.choice(C.WORDS) for _ in range(r.randint(2 if style == 'continuous' else 1, 4))]

    def speech(self, words, v, style):
        """The words in one voice setting. espeak-ng says a few pairs as one
        word ("no one"); such a phrase has no word boundaries to check."""
        said = speak(words, v['voice'], v['speed'], v['pitch'], self.rng, style)
        assert said is not None, 'espeak-ng merged words of %s' % words
        return said[0]

    def add(self, name, kind, words, style, **extra):
        while style == 'continuous' and 'no one' in ' '.join(words):
            words = self.words(style)
        v = self.voice()
        x = self.speech(words, v, style)
        lead = silence(self.rng.uniform(0.2, 0.5))
        write_wav(os.path.join(self.out, name), np.concatenate([lead, x, silence(0.3)]))
        self.manifest.append(dict(file=name, kind=kind, words=words, **extra, **v))

    def finish(self):
        with open(os.path.join(self.out, 'manifest.json'), 'w') as f:
            json.dump(self.manifest, f, indent=1)
            f.write('\n')
        print('wrote %d utterances to %s' % (len(self.manifest), self.out))


def fixtures(out, sample):
    for name in os.listdir(out) if os.path.isdir(out) else []:
        if name.endswith('.wav'):
            os.unlink(os.path.join(out, name))  # a fixture no longer made must not linger
    w = Writer(out, C.SEED + 1)
    for i in range(N_ISOLATED):
        w.add('held-out-%02d.wav' % i, 'isolated', w.words('isolated'), 'isolated')
    for i in range(N_CONTINUOUS):
        w.add('phrase-%02d.wav' % i, 'continuous', w.words('continuous'), 'continuous')

    # Longer than one 5.12 s window, with a pause: the second phrase
    # starts after the first window, so decoding must move on to it. This
    # and the next one check the engine's windows and prompt, so they are
    # spoken word by word, the style the model hears best.
    v = w.voice()
    a = w.speech(['open', 'file', 'save'], v, 'isolated')
    b = w.speech(['send', 'message'], v, 'isolated')
    lead = silence(0.3)
    gap = silence(5.2 - (len(lead) + len(a)) / C.SAMPLE_RATE)
    write_wav(os.path.join(out, 'two-phrases.wav'), np.concatenate([lead, a, gap, b, silence(0.3)]))
    w.manifest.append(dict(file='two-phrases.wav', kind='two-phrases', words=['open', 'file', 'save', 'send', 'message'],
                           phrases=[['open', 'file', 'save'], ['send', 'message']], **v))

    # Number words: a prompt written in digits asks for digits.
    w.add('numbers.wav', 'numbers', ['call', 'seven', 'three'], 'isolated', digits=['call', '7', '3'])
    w.finish()

    # The demo sample: one phrase, spoken as anyone dictates it.
    v = dict(voice=w.held_out[0], speed=150, pitch=50)
    x = w.speech(DEMO, v, 'continuous')
    write_wav(sample, np.concatenate([silence(0.3), x, silence(0.3)]))
    print('sample: "%s", voice %s, speed %d, pitch %d' % (' '.join(DEMO), v['voice'], v['speed'], v['pitch']))


def measure(out, n):
    w = Writer(out, C.SEED + 2)
    for style in ('isolated', 'continuous'):
        for i in range(n):
            w.add('%s-%03d.wav' % (style, i), style, w.words(style), style)
    w.finish()


def main():
    if sys.argv[1] == '--measure':
        measure(sys.argv[2], int(sys.argv[3]))
    else:
        fixtures(sys.argv[1], sys.argv[2])


if __name__ == '__main__':
    main()
