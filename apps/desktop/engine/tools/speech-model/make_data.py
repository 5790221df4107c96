"""Synthetic utterances from espeak-ng, their log-mel features (computed by
the inference library's own code) and their token ids (by its tokenizer).

usage: make_data.py WORK_DIR FEATURES_TOOL [N_TRAIN] [N_EVAL]
Writes WORK_DIR/{train,eval}.{mel,json} (f32 features, frame-major, and metadata)
and WORK_DIR/base.bin (a weightless model
file holding the header, mel filters and vocabulary)."""

import json
import os
import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import common as C


def synth(text, voice, speed, pitch, out_raw):
    """espeak-ng speech as 16 kHz mono s16 samples."""
    wav = out_raw + '.22k.wav'
    subprocess.run(['espeak-ng', '-v', voice, '-s', str(speed), '-p', str(pitch), '-w', wav, text],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(['sox', '-V1', '-D', wav, '-r', '16000', '-c', '1', '-b', '16', '-e', 'signed-integer',
                    '-t', 'raw', out_raw], check=True)
    os.unlink(wav)
    return np.fromfile(out_raw, dtype='<i2')


def speech_bounds(x):
    """First and last sample louder than a quiet floor."""
    loud = np.nonzero(np.abs(x.astype(np.int32)) > 300)[0]
    if len(loud) == 0:
        return 0, len(x)
    return int(loud[0]), int(loud[-1]) + 1


def speak(words, voice, speed, pitch, rng, tmp_raw):
    """The words spoken one at a time and joined by short pauses. Returns the
    samples and each word's (first, end) sample: training tells the encoder
    which word every frame belongs to, which it cannot learn from whole
    phrases in the time this machine has."""
    parts, spans, n = [], [], 0
    for i, w in enumerate(words):
        x = synth(w, voice, speed, pitch, tmp_raw)
        a, b = speech_bounds(x)
        x = x[max(0, a - 80):b + 80]
        if i:
            gap = np.zeros(int(rng.uniform(0.04, 0.3) * C.SAMPLE_RATE), dtype='<i2')
            parts.append(gap)
            n += len(gap)
        spans.append((n, n + len(x)))
        parts.append(x)
        n += len(x)
    return np.concatenate(parts), spans


def random_utterance(rng, voices):
    n = rng.randint(1, 4)
    words = [rng.choice(C.WORDS) for _ in range(n)]
    return dict(words=words, voice=rng.choice(voices), speed=rng.randint(130, 200),
                pitch=rng.randint(25, 75))


def place(rng, x, silence=False):
    """Puts the trimmed speech at a random start inside the 5.12 s window,
    followed by some silence; returns the clip and speech start/end (s)."""
    sr = C.SAMPLE_RATE
    if silence:
        n = int(rng.uniform(0.5, 5.5) * sr)
        return np.zeros(n, dtype='<i2'), 0.0, 0.0
    dur = len(x) / sr
    room = max(0.0, C.WINDOW_SECONDS - 0.15 - dur)
    start = rng.uniform(0, min(room, 0.3)) if rng.random() < 0.5 else rng.uniform(0, room)
    tail = rng.uniform(0.1, 1.5)
    lead = np.zeros(int(start * sr), dtype='<i2')
    clip = np.concatenate([lead, x, np.zeros(int(tail * sr), dtype='<i2')])
    # the engine pads short requests to 1.05 s with zeros
    if len(clip) < 16800:
        clip = np.concatenate([clip, np.zeros(16800 - len(clip), dtype='<i2')])
    return clip, len(lead) / sr, (len(lead) + len(x)) / sr


def build(kind, n, voices, rng, work, tool, base):
    os.makedirs(os.path.join(work, kind), exist_ok=True)
    items = []
    for i in range(n):
        silence = kind == 'train' and rng.random() < 0.03
        u = random_utterance(rng, voices)
        u['silence'] = silence
        u['raw'] = os.path.join(work, kind, '%05d.raw' % i)
        u['seed'] = rng.randrange(1 << 30)
        items.append(u)

    def make(u):
        r = random.Random(u['seed'])
        if u['silence']:
            clip, t0, t1 = place(r, None, silence=True)
            u['words'], u['spans'] = [], []
        else:
            x, spans = speak(u['words'], u['voice'], u['speed'], u['pitch'], r, u['raw'])
            if len(x) / C.SAMPLE_RATE > C.WINDOW_SECONDS - 0.3:
                return None
            clip, t0, t1 = place(r, x)
            u['spans'] = [[t0 + a / C.SAMPLE_RATE, t0 + b / C.SAMPLE_RATE] for a, b in spans]
        clip.astype('<i2').tofile(u['raw'])
        u['start'], u['end'] = t0, t1
        return u

    with ThreadPoolExecutor(max_workers=2) as ex:
        items = [u for u in ex.map(make, items) if u is not None]

    feats = os.path.join(work, kind + '.mel')
    with subprocess.Popen([tool, 'mel', base, str(C.N_FRAMES), feats], stdin=subprocess.PIPE, text=True) as p:
        p.communicate(''.join(u['raw'] + '\n' for u in items))
        assert p.returncode == 0
    # token ids through the library's tokenizer; they must be the word ids
    texts = [''.join(' ' + w for w in u['words']) or ' ' for u in items]
    out = subprocess.run([tool, 'tokenize', base], input='\n'.join(texts) + '\n', text=True,
                         capture_output=True, check=True).stdout.splitlines()
    for u, line in zip(items, out):
        ids = [int(t) for t in line.split()]
        want = [C.word_id(w) for w in u['words']]
        assert ids == want or (not u['words']), (u['words'], ids)
    with open(os.path.join(work, kind + '.json'), 'w') as f:
        json.dump([{k: u[k] for k in ('words', 'spans', 'voice', 'speed', 'pitch', 'start', 'end', 'raw')}
                   for u in items], f)
    return items


def prompts(work, tool, base, rng):
    """Prompt texts, tokenized by the library: digits (which ask for digits
    in the transcript) and plain words (which must not change it)."""
    digit = []
    for _ in range(600):
        ds = [str(rng.randint(0, 9)) for _ in range(rng.randint(1, 4))]
        digit.append(rng.choice([' ', ', ']).join(ds))
    words = [' '.join(rng.choice(C.WORDS) for _ in range(rng.randint(1, 4))) for _ in range(600)]
    res = {}
    for name, texts in (('digit', digit), ('words', words)):
        out = subprocess.run([tool, 'tokenize', base], input='\n'.join(texts) + '\n', text=True,
                             capture_output=True, check=True).stdout.splitlines()
        res[name] = [[int(t) for t in line.split()] for line in out]
    with open(os.path.join(work, 'prompts.json'), 'w') as f:
        json.dump(res, f)


def main():
    work, tool = sys.argv[1], sys.argv[2]
    n_train = int(sys.argv[3]) if len(sys.argv) > 3 else 8000
    n_eval = int(sys.argv[4]) if len(sys.argv) > 4 else 200
    os.makedirs(work, exist_ok=True)
    base = os.path.join(work, 'base.bin')
    with open(base, 'wb') as f:
        f.write(C.file_prefix(1))
    train_voices, held_out = C.voice_split()
    rng = random.Random(C.SEED)
    prompts(work, tool, base, rng)
    build('eval', n_eval, held_out, rng, work, tool, base)
    build('train', n_train, train_voices, rng, work, tool, base)
    print('voices: train %d, held out %d: %s' % (len(train_voices), len(held_out), ' '.join(held_out)))


if __name__ == '__main__':
    main()
