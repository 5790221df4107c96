"""Synthetic utterances from espeak-ng, their log-mel features (computed by
the inference library's own code) and their token ids (by its tokenizer).

usage: make_data.py WORK_DIR FEATURES_TOOL [N_MIXED] [N_WORDS] [N_EVAL]
Writes WORK_DIR/{mixed,words,eval}.{mel,json} (f32 features, frame-major, and
metadata: both speaking styles, words spoken one at a time, and held-out
voices in both styles) and WORK_DIR/base.bin (a weightless model file
holding the header, mel filters and vocabulary)."""

import ctypes
import json
import multiprocessing
import os
import random
import subprocess
import sys

import numpy as np

import common as C


class Espeak:
    """espeak-ng's library, one per process (it is not thread-safe): the
    command line cannot say where each word of a phrase starts, the
    library's word events can."""

    class Event(ctypes.Structure):  # espeak_EVENT, speak_lib.h
        _fields_ = [('type', ctypes.c_int), ('unique_identifier', ctypes.c_uint), ('text_position', ctypes.c_int),
                    ('length', ctypes.c_int), ('audio_position', ctypes.c_int), ('sample', ctypes.c_int),
                    ('user_data', ctypes.c_void_p), ('id', ctypes.c_char * 8)]

    class Voice(ctypes.Structure):  # espeak_VOICE, speak_lib.h
        _fields_ = [('name', ctypes.c_char_p), ('languages', ctypes.c_char_p), ('identifier', ctypes.c_char_p),
                    ('gender', ctypes.c_ubyte), ('age', ctypes.c_ubyte), ('variant', ctypes.c_ubyte),
                    ('xx1', ctypes.c_ubyte), ('score', ctypes.c_int), ('spare', ctypes.c_void_p)]

    EVENT_END_OF_LIST, EVENT_WORD = 0, 1
    AUDIO_OUTPUT_SYNCHRONOUS, POS_CHARACTER, RATE, PITCH = 2, 1, 1, 3
    Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int, ctypes.POINTER(Event))
    instance = None

    def __init__(self):
        self.lib = ctypes.CDLL('libespeak-ng.so.1')
        self.rate = self.lib.espeak_Initialize(self.AUDIO_OUTPUT_SYNCHRONOUS, 0, None, 0)
        assert self.rate > 0, 'espeak_Initialize failed'
        self.callback = self.Callback(self.receive)  # kept alive as long as the library holds it
        self.lib.espeak_SetSynthCallback(self.callback)

    def receive(self, wav, n, events):
        if n > 0:
            self.parts.append(np.ctypeslib.as_array(wav, (n,)).copy())
        i = 0
        while events[i].type != self.EVENT_END_OF_LIST:
            # it sometimes adds a word event of no characters at a phrase's end
            if events[i].type == self.EVENT_WORD and events[i].length > 0:
                self.words.append(events[i].sample)
            i += 1
        return 0

    @classmethod
    def say(cls, text, voice, speed, pitch):
        """16 kHz mono s16 samples and the 16 kHz sample where each word starts."""
        if cls.instance is None:
            cls.instance = cls()
        e = cls.instance
        e.parts, e.words = [], []
        if e.lib.espeak_SetVoiceByName(voice.encode()) != 0:
            # as the command line does: a language with a variant ("en-gb+f1")
            v = cls.Voice(None, voice.encode(), None, 0, 0, 0, 0, 0, None)
            assert e.lib.espeak_SetVoiceByProperties(ctypes.byref(v)) == 0, voice
        e.lib.espeak_SetParameter(cls.RATE, speed, 0)
        e.lib.espeak_SetParameter(cls.PITCH, pitch, 0)
        t = text.encode()
        assert e.lib.espeak_Synth(t, len(t) + 1, 0, cls.POS_CHARACTER, 0, 0, None, None) == 0, text
        assert e.lib.espeak_Synchronize() == 0
        x = np.concatenate(e.parts).astype('<i2')
        y = subprocess.run(['sox', '-V1', '-D', '-t', 'raw', '-r', str(e.rate), '-e', 'signed-integer', '-b', '16',
                            '-c', '1', '-', '-r', '16000', '-t', 'raw', '-'],
                           input=x.tobytes(), capture_output=True, check=True).stdout
        return np.frombuffer(y, dtype='<i2').copy(), [s * C.SAMPLE_RATE // e.rate for s in e.words]


def speech_bounds(x):
    """First and last sample louder than a quiet floor."""
    loud = np.nonzero(np.abs(x.astype(np.int32)) > 300)[0]
    if len(loud) == 0:
        return 0, len(x)
    return int(loud[0]), int(loud[-1]) + 1


def speak(words, voice, speed, pitch, rng, style='isolated'):
    """The words and each word's (first, end) sample: training tells the
    encoder which word every frame belongs to. 'isolated': each word spoken
    on its own and joined by short pauses; 'continuous': the words spoken as
    one phrase, split where the library's word events say each one starts.
    None when the library does not report one word event per word."""
    if style == 'continuous':
        x, starts = Espeak.say(' '.join(words), voice, speed, pitch)
        if len(starts) != len(words):
            return None
        a, b = speech_bounds(x)
        a, b = max(0, a - 80), min(len(x), b + 80)
        edges = [max(a, min(s, b)) for s in starts] + [b]
        edges[0] = a
        return x[a:b], [(edges[i] - a, edges[i + 1] - a) for i in range(len(words))]
    parts, spans, n = [], [], 0
    for i, w in enumerate(words):
        x, _ = Espeak.say(w, voice, speed, pitch)
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


# Phrases of two or more words spoken continuously, as people dictate; the
# rest word by word, which gives the clearest word boundaries.
CONTINUOUS_SHARE = 0.7


def random_utterance(rng, voices, continuous_share):
    n = rng.randint(1, 4)
    words = [rng.choice(C.WORDS) for _ in range(n)]
    style = 'continuous' if n > 1 and rng.random() < continuous_share else 'isolated'
    return dict(words=words, style=style, voice=rng.choice(voices), speed=rng.randint(130, 200),
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


def make(u):
    """One utterance's window as a raw file; None when it cannot be made."""
    r = random.Random(u['seed'])
    if u['silence']:
        clip, t0, t1 = place(r, None, silence=True)
        u['words'], u['spans'] = [], []
    else:
        said = speak(u['words'], u['voice'], u['speed'], u['pitch'], r, u['style'])
        if said is None or len(said[0]) / C.SAMPLE_RATE > C.WINDOW_SECONDS - 0.3:
            return None
        x, spans = said
        clip, t0, t1 = place(r, x)
        u['spans'] = [[t0 + a / C.SAMPLE_RATE, t0 + b / C.SAMPLE_RATE] for a, b in spans]
    clip.astype('<i2').tofile(u['raw'])
    u['start'], u['end'] = t0, t1
    return u


def build(kind, n, voices, rng, work, tool, base, continuous_share):
    os.makedirs(os.path.join(work, kind), exist_ok=True)
    items = []
    for i in range(n):
        silence = kind != 'eval' and rng.random() < 0.03
        u = random_utterance(rng, voices, continuous_share)
        u['silence'] = silence
        u['raw'] = os.path.join(work, kind, '%05d.raw' % i)
        u['seed'] = rng.randrange(1 << 30)
        items.append(u)

    # one espeak-ng library per worker process
    with multiprocessing.get_context('fork').Pool(2) as pool:
        items = [u for u in pool.map(make, items, chunksize=64) if u is not None]

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
        json.dump([{k: u[k] for k in ('words', 'style', 'spans', 'voice', 'speed', 'pitch', 'start', 'end', 'raw')}
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
    n_mixed = int(sys.argv[3]) if len(sys.argv) > 3 else 14000
    n_words = int(sys.argv[4]) if len(sys.argv) > 4 else 10000
    n_eval = int(sys.argv[5]) if len(sys.argv) > 5 else 300
    os.makedirs(work, exist_ok=True)
    base = os.path.join(work, 'base.bin')
    with open(base, 'wb') as f:
        f.write(C.file_prefix(1))
    train_voices, held_out = C.voice_split()
    rng = random.Random(C.SEED)
    prompts(work, tool, base, rng)
    build('eval', n_eval, held_out, rng, work, tool, base, CONTINUOUS_SHARE)
    mixed = build('mixed', n_mixed, train_voices, rng, work, tool, base, CONTINUOUS_SHARE)
    words = build('words', n_words, train_voices, random.Random(C.SEED + 3), work, tool, base, 0.0)
    print('training sets: words %d utterances; mixed %d continuous, %d isolated or silent' % (
        len(words), sum(u['style'] == 'continuous' for u in mixed), sum(u['style'] != 'continuous' for u in mixed)))
    print('voices: train %d, held out %d: %s' % (len(train_voices), len(held_out), ' '.join(held_out)))


if __name__ == '__main__':
    main()
