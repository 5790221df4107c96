#!/usr/bin/env python3
"""Checks an engine with a CUDA accelerator pack on a GPU machine.

Starts the engine with --accelerators, expects "cuda" in the hello line,
loads the model on "auto" (expects device cuda, fallback false) and on
"cpu", decodes the same audio on both and prints both decodeMs figures.

usage: cuda_check.py ENGINE PACK_DIR MODEL [SECONDS]
"""
import json
import math
import struct
import subprocess
import sys


def frame(kind, payload=b""):
    return struct.pack("<IB", len(payload) + 1, kind) + payload


def message(kind, obj):
    return frame(kind, json.dumps(obj, separators=(",", ":")).encode())


class Engine:
    def __init__(self, argv):
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def send(self, *frames):
        self.p.stdin.write(b"".join(frames))
        self.p.stdin.flush()

    def line(self):
        raw = self.p.stdout.readline()
        if not raw:
            raise SystemExit("engine closed its output")
        return json.loads(raw)

    def close(self):
        self.send(frame(8))
        return self.p.wait(timeout=60)


def main():
    engine, pack, model = sys.argv[1:4]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 8.0
    n = int(seconds * 16000)
    samples = [0.1 * math.sin(2 * math.pi * (200 + 300 * i / n) * i / 16000) for i in range(n)]
    audio = struct.pack("<%df" % n, *samples)

    e = Engine([engine, "--accelerators", pack])
    hello = e.line()
    print("hello:", json.dumps(hello))
    ok = "cuda" in hello["backends"]
    figures = {}
    for device in ("auto", "cpu"):
        e.send(message(1, {"version": 2, "modelPath": model, "device": device, "threads": 8,
                           "shortWindowSamples": 0, "shortAudioCtx": 0}))
        ready = e.line()
        print("load %s:" % device, json.dumps(ready))
        if device == "auto":
            ok = ok and ready.get("device") == "cuda" and ready.get("fallback") is False
        best = None
        for rid in range(3):
            e.send(message(2, {"requestId": rid, "language": "en", "prompt": ""}),
                   frame(3, audio), message(4, {"requestId": rid}))
            result = e.line()
            if result.get("type") != "result":
                print("decode failed:", json.dumps(result))
                ok = False
                break
            best = result["decodeMs"] if best is None else min(best, result["decodeMs"])
        figures[device] = best
    print("decodeMs (best of 3, %.1f s audio): cuda %s, cpu %s" % (seconds, figures.get("auto"), figures.get("cpu")))
    print("exit", e.close())
    print("CHECK", "PASSED" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
