"""Writes a trained checkpoint in the inference library's model format.

usage: export.py MODEL.pt OUT.bin f16|q8_0

Matrices are stored as f16 or q8_0 (an all-f32 file crashes the library's
convolution), convolution kernels as f16, and every 1-D tensor, the conv
biases (as 1 x n_state) and the positional embeddings as f32. The token
table is the full 51,865 rows: the ones training never used stay zero."""

import struct
import sys

import numpy as np
import torch

import common as C
from train import USED

FTYPES = {'f16': 1, 'q8_0': 7}
GGML_F32, GGML_F16, GGML_Q8_0 = 0, 1, 8


def q8_0(a):
    """ggml's reference q8_0: blocks of 32 values, an f16 scale each."""
    rows = a.reshape(-1, 32).astype(np.float32)
    amax = np.abs(rows).max(axis=1)
    d = amax / 127.0
    inv = np.where(d > 0, 1.0 / np.where(d > 0, d, 1), 0.0)
    v = rows * inv[:, None]
    q = (np.sign(v) * np.floor(np.abs(v) + 0.5)).astype(np.int8)
    out = np.empty((rows.shape[0], 34), dtype=np.uint8)
    out[:, :2] = d.astype('<f2').view(np.uint8).reshape(-1, 2)
    out[:, 2:] = q.view(np.uint8)
    return out.tobytes()


def tensors(state):
    """(file name, array) in the library's naming."""
    out = [('encoder.positional_embedding', state['enc_pos']),
           ('encoder.conv1.weight', state['conv1.weight']),
           ('encoder.conv1.bias', state['conv1.bias'].reshape(-1, 1)),
           ('encoder.conv2.weight', state['conv2.weight']),
           ('encoder.conv2.bias', state['conv2.bias'].reshape(-1, 1))]
    for k, v in state.items():
        if k.startswith('enc.'):
            out.append(('encoder.blocks.' + k[4:], v))
    out += [('encoder.ln_post.weight', state['ln_post.weight']),
            ('encoder.ln_post.bias', state['ln_post.bias']),
            ('decoder.positional_embedding', state['dec_pos'])]
    table = np.zeros((C.N_VOCAB, state['tok.weight'].shape[1]), dtype=np.float32)
    table[USED] = state['tok.weight'].numpy()
    out.append(('decoder.token_embedding.weight', torch.from_numpy(table)))
    for k, v in state.items():
        if k.startswith('dec.'):
            out.append(('decoder.blocks.' + k[4:], v))
    out += [('decoder.ln.weight', state['ln.weight']), ('decoder.ln.bias', state['ln.bias'])]
    return [(n, v.detach().float().numpy()) for n, v in out]


def read_bin(path):
    """A model file written by this script, back as a checkpoint's state
    (without the training-only head): training can go on from a committed
    file."""
    raw = open(path, 'rb').read()
    pos = len(C.file_prefix(struct.unpack_from('<i', raw, 4 + 10 * 4)[0]))
    files = {}
    while pos < len(raw):
        ndim, name_len, t = struct.unpack_from('<3i', raw, pos)
        shape = tuple(reversed(struct.unpack_from('<%di' % ndim, raw, pos + 12)))
        pos += 12 + 4 * ndim
        name = raw[pos:pos + name_len].decode()
        pos += name_len
        n = int(np.prod(shape))
        if t == GGML_Q8_0:
            blocks = np.frombuffer(raw, np.uint8, n // 32 * 34, pos).reshape(-1, 34)
            d = blocks[:, :2].copy().view('<f2').astype(np.float32)
            a = blocks[:, 2:].copy().view(np.int8).astype(np.float32) * d
            pos += n // 32 * 34
        else:
            dt = '<f4' if t == GGML_F32 else '<f2'
            a = np.frombuffer(raw, dt, n, pos).astype(np.float32)
            pos += n * np.dtype(dt).itemsize
        files[name] = torch.from_numpy(a.reshape(shape).copy())
    state = {}
    for k, v in files.items():
        if k.startswith('encoder.blocks.'):
            state['enc.' + k[len('encoder.blocks.'):]] = v
        elif k.startswith('decoder.blocks.'):
            state['dec.' + k[len('decoder.blocks.'):]] = v
    state.update({'enc_pos': files['encoder.positional_embedding'],
                  'conv1.weight': files['encoder.conv1.weight'],
                  'conv1.bias': files['encoder.conv1.bias'].reshape(-1),
                  'conv2.weight': files['encoder.conv2.weight'],
                  'conv2.bias': files['encoder.conv2.bias'].reshape(-1),
                  'ln_post.weight': files['encoder.ln_post.weight'], 'ln_post.bias': files['encoder.ln_post.bias'],
                  'dec_pos': files['decoder.positional_embedding'],
                  'tok.weight': files['decoder.token_embedding.weight'][USED],
                  'ln.weight': files['decoder.ln.weight'], 'ln.bias': files['decoder.ln.bias']})
    return state


def main():
    src, dst, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    state = torch.load(src, map_location='cpu')
    with open(dst, 'wb') as f:
        f.write(C.file_prefix(FTYPES[kind]))
        for name, a in tensors(state):
            keep_f32 = a.ndim < 2 or name.endswith('conv1.bias') or name.endswith('conv2.bias') \
                or name.endswith('positional_embedding')
            if keep_f32:
                t, data = GGML_F32, a.astype('<f4').tobytes()
            elif a.ndim == 3 or kind == 'f16':
                t, data = GGML_F16, a.astype('<f2').tobytes()
            else:
                t, data = GGML_Q8_0, q8_0(a)
            nb = name.encode()
            f.write(struct.pack('<3i', a.ndim, len(nb), t))
            f.write(struct.pack('<%di' % a.ndim, *reversed(a.shape)))
            f.write(nb)
            f.write(data)
    print('wrote %s (%s)' % (dst, kind))


if __name__ == '__main__':
    main()
