"""Held-out WAV fixtures for the engine's tests and benchmark, and the demo
sample: voice settings that training never saw.

usage: make_fixtures.py FIXTURE_DIR SAMPLE_WAV
Writes FIXTURE_DIR/*.wav, FIXTURE_DIR/manifest.json and SAMPLE_WAV."""

import json
import os
import random
import sys
import tempfile
import wave

import numpy as np

import common as C
from make_data import speak

N_SINGLE = 30


def speech(words, voice, speed, pitch, tmp, rng):
    return speak(words, voice, speed, pitch, rng, os.path.join(tmp, 'x.raw'))[0]


def silence(seconds):
    return np.zeros(int(seconds * C.SAMPLE_RATE), dtype='<i2')


def write_wav(path, x):
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(C.SAMPLE_RATE)
        w.writeframes(x.astype('<i2').tobytes())


def main():
    out, sample = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    _, held_out = C.voice_split()
    rng = random.Random(C.SEED + 1)
    manifest = []
    with tempfile.TemporaryDirectory() as tmp:
        def voice():
            return dict(voice=rng.choice(held_out), speed=rng.randint(130, 200), pitch=rng.randint(25, 75))

        for i in range(N_SINGLE):
            words = [rng.choice(C.WORDS) for _ in range(rng.randint(1, 4))]
            v = voice()
            x = speech(words, v['voice'], v['speed'], v['pitch'], tmp, rng)
            name = 'held-out-%02d.wav' % i
            write_wav(os.path.join(out, name), np.concatenate([silence(rng.uniform(0.2, 0.5)), x, silence(0.3)]))
            manifest.append(dict(file=name, kind='single', words=words, **v))

        # Longer than one 5.12 s window, with a pause: the second phrase
        # starts after the first window, so decoding must move on to it.
        v = voice()
        a = speech(['open', 'file', 'save'], v['voice'], v['speed'], v['pitch'], tmp, rng)
        b = speech(['send', 'message'], v['voice'], v['speed'], v['pitch'], tmp, rng)
        lead = silence(0.3)
        gap = silence(5.2 - (len(lead) + len(a)) / C.SAMPLE_RATE)
        write_wav(os.path.join(out, 'two-phrases.wav'), np.concatenate([lead, a, gap, b, silence(0.3)]))
        manifest.append(dict(file='two-phrases.wav', kind='two-phrases', words=['open', 'file', 'save', 'send', 'message'],
                             phrases=[['open', 'file', 'save'], ['send', 'message']], **v))

        # Number words: a prompt written in digits asks for digits.
        v = voice()
        x = speech(['call', 'seven', 'three'], v['voice'], v['speed'], v['pitch'], tmp, rng)
        write_wav(os.path.join(out, 'numbers.wav'), np.concatenate([silence(0.3), x, silence(0.3)]))
        manifest.append(dict(file='numbers.wav', kind='numbers', words=['call', 'seven', 'three'],
                             digits=['call', '7', '3'], **v))

        # The demo sample.
        v = dict(voice=held_out[0], speed=150, pitch=50)
        x = speech(['hello', 'world'], v['voice'], v['speed'], v['pitch'], tmp, rng)
        write_wav(sample, np.concatenate([silence(0.3), x, silence(0.3)]))
        print('sample: "hello world", voice %s, speed 150, pitch 50' % v['voice'])

    with open(os.path.join(out, 'manifest.json'), 'w') as f:
        json.dump(manifest, f, indent=1)
        f.write('\n')
    print('wrote %d fixtures to %s' % (len(manifest), out))


if __name__ == '__main__':
    main()
