"""Trains the tiny whisper-architecture model on the synthetic data.

usage: train.py WORK_DIR WORD_STEPS PHRASE_STEPS OUT.pt [LOG] [--start MODEL]
A fixed seed and a fixed number of steps in each stage."""

import json
import math
import os
import random
import sys
import time

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import common as C

D = C.DIMS['n_audio_state']
HEADS = C.DIMS['n_audio_head']


def sinusoids(length, channels, max_timescale=10000):
    log_inc = math.log(max_timescale) / (channels // 2 - 1)
    inv = torch.exp(-log_inc * torch.arange(channels // 2))
    t = torch.arange(length)[:, None] * inv[None, :]
    return torch.cat([torch.sin(t), torch.cos(t)], dim=1)


class Attention(nn.Module):
    def __init__(self):
        super().__init__()
        self.query = nn.Linear(D, D)
        self.key = nn.Linear(D, D, bias=False)
        self.value = nn.Linear(D, D)
        self.out = nn.Linear(D, D)

    def forward(self, x, kv=None, causal=False):
        kv = x if kv is None else kv
        b, t, _ = x.shape
        s = kv.shape[1]
        q = self.query(x).view(b, t, HEADS, -1).transpose(1, 2)
        k = self.key(kv).view(b, s, HEADS, -1).transpose(1, 2)
        v = self.value(kv).view(b, s, HEADS, -1).transpose(1, 2)
        w = (q @ k.transpose(-1, -2)) / math.sqrt(q.shape[-1])
        if causal:
            w = w.masked_fill(torch.ones(t, s, dtype=torch.bool).triu(1), float('-inf'))
        y = w.softmax(-1) @ v
        return self.out(y.transpose(1, 2).reshape(b, t, D))


class Block(nn.Module):
    def __init__(self, cross):
        super().__init__()
        self.attn = Attention()
        self.attn_ln = nn.LayerNorm(D)
        self.cross_attn = Attention() if cross else None
        self.cross_attn_ln = nn.LayerNorm(D) if cross else None
        self.mlp = nn.Sequential(nn.Linear(D, 4 * D), nn.GELU(), nn.Linear(4 * D, D))
        self.mlp_ln = nn.LayerNorm(D)

    def forward(self, x, xa=None, causal=False):
        x = x + self.attn(self.attn_ln(x), causal=causal)
        if self.cross_attn is not None:
            x = x + self.cross_attn(self.cross_attn_ln(x), xa)
        return x + self.mlp(self.mlp_ln(x))


class Model(nn.Module):
    def __init__(self, n_used):
        super().__init__()
        self.conv1 = nn.Conv1d(C.N_MELS, D, 3, padding=1)
        self.conv2 = nn.Conv1d(D, D, 3, stride=2, padding=1)
        self.register_buffer('enc_pos', sinusoids(C.DIMS['n_audio_ctx'], D))
        self.enc = nn.ModuleList([Block(False) for _ in range(C.DIMS['n_audio_layer'])])
        self.ln_post = nn.LayerNorm(D)
        # rows for the used ids only; every other row of the exported table is zero
        self.tok = nn.Embedding(n_used, D)
        nn.init.normal_(self.tok.weight, std=0.02)
        self.dec_pos = nn.Parameter(torch.randn(C.DIMS['n_text_ctx'], D) * 0.01)
        self.dec = nn.ModuleList([Block(True) for _ in range(C.DIMS['n_text_layer'])])
        self.ln = nn.LayerNorm(D)
        # training aid only (not exported): which word (or none) each encoder
        # position hears, so the encoder learns words before the decoder has
        # learned where to look
        self.frames = nn.Linear(D, len(C.WORDS) + 1)
        # the unused ids have logit exactly 0: one extra class of mass n_unused
        self.register_buffer('unused_logit', torch.tensor(math.log(C.N_VOCAB - n_used)))
        self.quick_start()

    @torch.no_grad()
    def quick_start(self):
        """A start that learns sooner (a small help, measured in MODEL.md):
        the convolutions start at 4x their default scale, so sound outweighs
        position; the encoder's attention starts local: each head's query and
        key read sine/cosine pairs of the positional embedding, so the first
        scores depend on distance alone."""
        self.conv1.weight.mul_(4)
        self.conv2.weight.mul_(4)
        half, per_head = D // 2, D // HEADS
        w = torch.zeros(D, D)
        for h in range(HEADS):
            for d in range(per_head // 2):
                f = h * per_head // 2 + d
                w[h * per_head + d, f] = 1.0                       # sine of frequency f
                w[h * per_head + per_head // 2 + d, half + f] = 1.0  # its cosine
        for blk in self.enc:
            blk.attn.query.weight.copy_(w)
            blk.attn.query.bias.zero_()
            blk.attn.key.weight.copy_(w)

    def encode(self, mel):  # mel: (b, n_mels, frames)
        x = F.gelu(self.conv1(mel))
        x = F.gelu(self.conv2(x)).transpose(1, 2)
        x = x + self.enc_pos[:x.shape[1]]
        for blk in self.enc:
            x = blk(x)
        return self.ln_post(x)

    def decode(self, tokens, xa):
        x = self.tok(tokens) + self.dec_pos[:tokens.shape[1]]
        for blk in self.dec:
            x = blk(x, xa, causal=True)
        x = self.ln(x)
        logits = x @ self.tok.weight.t()
        extra = self.unused_logit.expand(*logits.shape[:-1], 1)
        return torch.cat([logits, extra], dim=-1)


USED = C.used_ids()
INDEX = {t: i for i, t in enumerate(USED)}
WORD_IDS = {w: C.word_id(w) for w in C.WORDS}
DIGIT_OF = {C.word_id(w): C.digit_id(i) for i, w in enumerate(C.DIGITS)}


def sequence(rng, item, prompts):
    """Decoder input ids and the index where the predicted part starts,
    exactly as the greedy decoder lays them out."""
    words = [WORD_IDS[w] for w in item['words']]
    prefix = []
    r = rng.random()
    if r < 0.25:
        # digits in the prompt ask for digits in the transcript
        prefix = [C.PREV] + rng.choice(prompts['digit'])
        words = [DIGIT_OF.get(w, w) for w in words]
    elif r < 0.35:
        prefix = [C.PREV] + rng.choice(prompts['words'])
    elif r < 0.45:
        # the rolling context: a previous window's output
        other = [WORD_IDS[rng.choice(C.WORDS)] for _ in range(rng.randint(1, 4))]
        te = C.ts(rng.uniform(0.5, 4.0))
        prefix = [C.PREV, C.TS_BEGIN] + other + [te, te]
    prefix += [C.SOT, C.LANG_EN, C.TRANSCRIBE]
    if rng.random() < 0.25:
        prefix.append(C.NO_TIMESTAMPS)
        body = words + [C.EOT]
    elif not words:
        body = [C.TS_BEGIN, C.EOT]
    else:
        te = C.ts(min(item['end'] + 0.1, C.WINDOW_SECONDS))
        body = [C.TS_BEGIN] + words + [te, te, C.EOT]
    return prefix + body, len(prefix)


def batch(rng, items, idx, prompts):
    seqs = [sequence(rng, items[i], prompts) for i in idx]
    n = max(len(s) for s, _ in seqs)
    inp = torch.zeros(len(seqs), n - 1, dtype=torch.long)
    tgt = torch.full((len(seqs), n - 1), -100, dtype=torch.long)
    for b, (s, start) in enumerate(seqs):
        ids = [INDEX[t] for t in s]
        inp[b, :len(s) - 1] = torch.tensor(ids[:-1])
        tgt[b, start - 1:len(s) - 1] = torch.tensor(ids[start:])
        # the language token is a target too: "auto" detects it from the logits after SOT
        sot = s.index(C.SOT)
        tgt[b, sot] = INDEX[C.LANG_EN]
    return inp, tgt


def frame_labels(items):
    """Per encoder position (20 ms): 1 + the index of the word whose span
    holds its centre, or 0."""
    out = torch.zeros(len(items), C.AUDIO_CTX, dtype=torch.long)
    centre = (torch.arange(C.AUDIO_CTX) + 0.5) * (C.WINDOW_SECONDS / C.AUDIO_CTX)
    for i, it in enumerate(items):
        for w, (a, b) in zip(it['words'], it['spans']):
            out[i][(centre >= a) & (centre < b)] = C.WORDS.index(w) + 1
    return out


def load(work, kind):
    items = json.load(open(os.path.join(work, kind + '.json')))
    mel = np.fromfile(os.path.join(work, kind + '.mel'), dtype=np.float32)
    mel = torch.from_numpy(mel.reshape(len(items), C.N_FRAMES, C.N_MELS)).transpose(1, 2).contiguous()
    return items, mel, frame_labels(items)


@torch.no_grad()
def greedy(model, mel, prompt=None):
    """Greedy decoding with timestamps on; returns the word ids."""
    xa = model.encode(mel[None])
    seq = (prompt or []) + [C.SOT, C.LANG_EN, C.TRANSCRIBE, C.TS_BEGIN]
    out = []
    allowed = torch.tensor([INDEX[t] for t in USED if 256 <= t < C.EOT or t == C.EOT or t > C.TS_BEGIN])
    for _ in range(12):
        logits = model.decode(torch.tensor([[INDEX[t] for t in seq]]), xa)[0, -1, :-1]
        nxt = USED[allowed[logits[allowed].argmax()].item()]
        if nxt == C.EOT or nxt >= C.TS_BEGIN:
            break
        out.append(nxt)
        seq.append(nxt)
    return out


def wer_counts(ref, hyp):
    d = list(range(len(hyp) + 1))
    for i in range(1, len(ref) + 1):
        prev, d[0] = d[0], i
        for j in range(1, len(hyp) + 1):
            cur = min(d[j] + 1, d[j - 1] + 1, prev + (ref[i - 1] != hyp[j - 1]))
            prev, d[j] = d[j], cur
    return d[len(hyp)]


def evaluate(model, items, mel):
    """Word accuracy and exact share, overall and per speaking style."""
    model.eval()
    tally = {}
    for i, it in enumerate(items):
        ref = [WORD_IDS[w] for w in it['words']]
        hyp = greedy(model, mel[i])
        e = wer_counts(ref, hyp)
        for key in ('all', it['style']):
            t = tally.setdefault(key, [0, 0, 0, 0])
            t[0] += e
            t[1] += len(ref)
            t[2] += e == 0 and len(ref) == len(hyp)
            t[3] += 1
    model.train()
    return {k: (1 - t[0] / max(1, t[1]), t[2] / t[3], t[3]) for k, t in tally.items()}


# The two stages: (data set, peak learning rate, warm-up steps, share of
# the steps held at the peak before a cosine down to 5%). Words spoken one
# at a time first, from nothing; then both speaking styles, from the first
# stage's weights. Trained on both from nothing, the model learned far more
# slowly: 16% held-out word accuracy at step 1,000, where words alone had
# reached 63%.
STAGES = {'words': ('words', 1.5e-3, 200, 0.5), 'phrases': ('mixed', 7.5e-4, 100, 0.0)}


def run_stage(name, model, steps, out, work, prompts, ev, say):
    kind, peak, warm, flat = STAGES[name]
    torch.manual_seed(C.SEED)
    rng = random.Random(C.SEED)
    items, mel, labels = load(work, kind)
    say('stage %s: %d utterances (%s), %d steps, peak learning rate %g' % (name, len(items), kind, steps, peak))
    opt = torch.optim.AdamW(model.parameters(), lr=peak, weight_decay=0.01)

    # warm-up, flat for a share of the steps, then a cosine down to 5%
    def rate(s):
        if s < warm:
            return (s + 1) / warm
        hold = max(warm, steps * flat)
        if s < hold:
            return 1.0
        return 0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * (s - hold) / max(1, steps - hold)))

    sched = torch.optim.lr_scheduler.LambdaLR(opt, rate)
    bs = 32
    t0 = time.time()
    order = []
    run_frames = 0.0
    for step in range(1, steps + 1):
        if len(order) < bs:
            order += rng.sample(range(len(items)), len(items))
        idx, order = order[:bs], order[bs:]
        m = mel[idx].clone()
        # frequency masking: some robustness to unseen voices
        for b in range(bs):
            if rng.random() < 0.5:
                w = rng.randint(1, 10)
                f0 = rng.randint(0, C.N_MELS - w)
                m[b, f0:f0 + w] = m[b].mean()
        inp, tgt = batch(rng, items, idx, prompts)
        xa = model.encode(m)
        logits = model.decode(inp, xa)
        loss = F.cross_entropy(logits.reshape(-1, logits.shape[-1]), tgt.reshape(-1), ignore_index=-100)
        fl = model.frames(xa)
        fy = labels[idx]
        frames = F.cross_entropy(fl.reshape(-1, fl.shape[-1]), fy.reshape(-1))
        loss = loss + 0.5 * frames
        run_frames += (fl.argmax(-1) == fy).float().mean().item()
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        sched.step()
        if step % 100 == 0 or step == steps:
            say('%s step %d loss %.4f (frames %.4f, frame accuracy %.1f%%) lr %.5f elapsed %.0fs' % (
                name, step, loss.item(), frames.item(),
                100 * run_frames / (100 if step % 100 == 0 else step % 100), sched.get_last_lr()[0], time.time() - t0))
            run_frames = 0.0
        if step % 500 == 0 or step == steps:
            torch.save(model.state_dict(), '%s.%s.%d' % (out, name, step))
            ev_items, ev_mel = ev
            n = len(ev_items) if step == steps else 60
            for k, (wa, ua, m) in sorted(evaluate(model, ev_items[:n], ev_mel[:n]).items()):
                say('%s step %d held-out %s (training code, %d utterances): word accuracy %.1f%%, utterances %.1f%%' %
                    (name, step, k, m, 100 * wa, 100 * ua))
    say('stage %s done: %d steps in %.0fs' % (name, steps, time.time() - t0))


def main():
    """usage: train.py WORK_DIR WORD_STEPS PHRASE_STEPS OUT.pt [LOG] [--start MODEL]
    --start (a checkpoint or a model file) skips the first stage and starts
    the second from those weights."""
    args = sys.argv[1:]
    start = None
    if '--start' in args:
        i = args.index('--start')
        start = args[i + 1]
        del args[i:i + 2]
    work, word_steps, phrase_steps, out = args[0], int(args[1]), int(args[2]), args[3]
    log = open(args[4] if len(args) > 4 else os.path.join(work, 'train.log'), 'a')

    def say(msg):
        print(msg, flush=True)
        log.write(msg + '\n')
        log.flush()

    torch.set_num_threads(int(os.environ.get('TRAIN_THREADS', '2')))
    prompts = json.load(open(os.path.join(work, 'prompts.json')))
    ev_items, ev_mel, _ = load(work, 'eval')
    say('eval %d utterances (held-out voices), threads %d' % (len(ev_items), torch.get_num_threads()))
    torch.manual_seed(C.SEED)
    model = Model(len(USED))
    if start is None:
        run_stage('words', model, word_steps, out, work, prompts, (ev_items, ev_mel), say)
    else:
        from export import read_bin
        state = torch.load(start, map_location='cpu') if start.endswith('.pt') else read_bin(start)
        model.load_state_dict(state, strict=False)  # a model file has no training-only head
        say('stage words: from %s' % start)
    run_stage('phrases', model, phrase_steps, out, work, prompts, (ev_items, ev_mel), say)
    torch.save(model.state_dict(), out)


if __name__ == '__main__':
    main()
