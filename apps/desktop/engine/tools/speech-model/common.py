"""Vocabulary, voices, token ids and the model-file layout shared by the
data, training and export steps."""

import itertools
import random
import struct

import numpy as np

SEED = 20261207

DIGITS = ['zero', 'one', 'two', 'three', 'four', 'five', 'six', 'seven', 'eight', 'nine']
WORDS = DIGITS + [
    'hello', 'world', 'new', 'line', 'period', 'comma', 'question', 'mark',
    'open', 'close', 'save', 'file', 'delete', 'undo', 'copy', 'paste',
    'select', 'all', 'send', 'message', 'yes', 'no', 'stop', 'start',
    'next', 'back', 'up', 'down', 'left', 'right', 'call', 'meeting',
    'today', 'tomorrow', 'note', 'test',
]

# espeak-ng voices and variants; every pairing is a "voice setting".
BASES = ['en-us', 'en-gb', 'en-gb-scotland', 'en-gb-x-gbclan', 'en-gb-x-rp',
         'en-gb-x-gbcwmd', 'en-029']
VARIANTS = ['', 'm1', 'm3', 'm5', 'f1', 'f2', 'f4']
N_HELD_OUT = 8


def voice_split():
    """(training, held-out) voice settings: a fixed shuffle, so held-out
    voices are never seen in training, whoever runs the pipeline."""
    pairs = [b + ('+' + v if v else '') for b, v in itertools.product(BASES, VARIANTS)]
    random.Random(SEED).shuffle(pairs)
    return sorted(pairs[N_HELD_OUT:]), sorted(pairs[:N_HELD_OUT])


# Audio: 16 kHz; the model sees 256 encoder positions = 512 mel frames = 5.12 s.
SAMPLE_RATE = 16000
AUDIO_CTX = 256
N_FRAMES = 2 * AUDIO_CTX
WINDOW_SECONDS = N_FRAMES / 100.0
N_MELS = 80

# The multilingual layout (51,865 ids), so that the language token is part
# of every decoder prompt.
N_VOCAB = 51865
EOT = 50257
SOT = 50258
LANG_EN = 50259
TRANSCRIBE = 50359
PREV = 50361
NO_TIMESTAMPS = 50363
TS_BEGIN = 50364  # <|0.00|>; one id per 20 ms


def ts(seconds):
    return TS_BEGIN + int(round(seconds / 0.02))


def vocabulary():
    """Stored token strings by id: all 256 bytes (so any prompt text
    tokenizes), then every word with a leading space, then the digits with
    a leading space (the written form of numbers)."""
    toks = [bytes([b]) for b in range(256)]
    toks += [(' ' + w).encode() for w in WORDS]
    toks += [(' %d' % d).encode() for d in range(10)]
    return toks


def word_id(w):
    return 256 + WORDS.index(w)


def digit_id(d):
    return 256 + len(WORDS) + d


def used_ids():
    """Every id a training sequence may contain, as input or as target."""
    ids = set(range(256, 256 + len(WORDS) + 10)) | set(range(256))
    ids |= {EOT, SOT, LANG_EN, TRANSCRIBE, PREV, NO_TIMESTAMPS}
    ids |= set(range(TS_BEGIN, TS_BEGIN + AUDIO_CTX + 1))
    return sorted(ids)


def slaney_filters(n_mels=N_MELS, n_fft=400, sr=SAMPLE_RATE):
    """Area-normalised Slaney mel bank, as in the weightless test models."""
    f_sp = 200.0 / 3
    min_log_hz = 1000.0
    min_log_mel = min_log_hz / f_sp
    log_step = np.log(6.4) / 27

    def hz_to_mel(hz):
        return min_log_mel + np.log(hz / min_log_hz) / log_step if hz >= min_log_hz else hz / f_sp

    def mel_to_hz(m):
        return min_log_hz * np.exp(log_step * (m - min_log_mel)) if m >= min_log_mel else f_sp * m

    n_bins = n_fft // 2 + 1
    freqs = np.arange(n_bins) * sr / n_fft
    mel_max = hz_to_mel(sr / 2)
    pts = [mel_to_hz(mel_max * i / (n_mels + 1)) for i in range(n_mels + 2)]
    out = np.zeros((n_mels, n_bins), dtype=np.float32)
    for m in range(n_mels):
        lo, mid, hi = pts[m], pts[m + 1], pts[m + 2]
        up = (freqs - lo) / (mid - lo)
        down = (hi - freqs) / (hi - mid)
        out[m] = np.maximum(0, np.minimum(up, down)) * (2 / (hi - lo))
    return out


# Model shape: whisper's architecture at a tiny size. The header keeps the
# standard 1500 audio positions (the timestamp precision depends on it); the
# model is trained on, and loaded with, the first 256.
DIMS = dict(n_audio_ctx=1500, n_audio_state=128, n_audio_head=2, n_audio_layer=2,
            n_text_ctx=448, n_text_state=128, n_text_head=2, n_text_layer=3)


def file_prefix(ftype):
    """Header, mel filters and vocabulary of a model file; the tensors follow."""
    d = DIMS
    out = [struct.pack('<I', 0x67676d6c),
           struct.pack('<11i', N_VOCAB, d['n_audio_ctx'], d['n_audio_state'], d['n_audio_head'],
                       d['n_audio_layer'], d['n_text_ctx'], d['n_text_state'], d['n_text_head'],
                       d['n_text_layer'], N_MELS, ftype)]
    f = slaney_filters()
    out.append(struct.pack('<2i', f.shape[0], f.shape[1]))
    out.append(f.astype('<f4').tobytes())
    toks = vocabulary()
    out.append(struct.pack('<i', len(toks)))
    for t in toks:
        out.append(struct.pack('<I', len(t)) + t)
    return b''.join(out)
