"""`_SlidingPCM.append` under the renderer's discard pattern: time per appended sample for streams
of 1, 10 and 60 minutes, measured in one run, rounds alternating between the lengths.

    .venv/bin/python bench/pcm_buffer.py [--minutes 1 10 60] [--rounds 3]

Audio arrives in 20 ms blocks (320 samples at 16 kHz). As the renderer does, once chunk c's
window is complete (chunk 0 at 25600 samples, chunk c >= 1 at (c - 1) * 25600 + 44000) the samples
before the next window's start are discarded. Every length streams the same total audio (the
longest length once, a shorter one as that many fresh buffers in turn), so each measurement spans
the same time and meets the same machine noise. Prints the best time per sample for each length
(Python's call into `append` included), the buffer's counters, and the ratio of the longest to
the shortest (target: flat, that is amortised constant time per sample, a ratio near 1).
"""

import argparse
import os
import time

import numpy as np

from quorvane._mirrant2 import _tensorhost as th

SR, BLOCK, SPC, WIN = 16000, 320, 25600, 44000


def stream(minutes, block):
    """Appends `minutes` of audio with the renderer's discards; returns (seconds, buffer)."""
    p = th._SlidingPCM()
    append, discard = p.append, p.discard_before
    n_blocks = minutes * 60 * SR // BLOCK
    ci, need = 0, SPC
    fed = 0
    t0 = time.perf_counter()
    for _ in range(n_blocks):
        append(block)
        fed += BLOCK
        while fed >= need:
            ci += 1
            discard(0 if ci <= 1 else (ci - 1) * SPC)
            need = (ci - 1) * SPC + WIN
    return time.perf_counter() - t0, p


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=int, nargs="+", default=[1, 10, 60])
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    block = np.linspace(-0.5, 0.5, BLOCK, dtype=np.float32)
    total = max(a.minutes)
    best, last = {}, {}
    for _ in range(a.rounds):
        for m in a.minutes:
            runs = [stream(m, block) for _ in range(total // m)]
            t = sum(r[0] for r in runs) / len(runs)
            best[m] = min(best.get(m, t), t)
            last[m] = runs[-1][1]
    print(f"_SlidingPCM.append in 20 ms blocks with the renderer's discards; best of {a.rounds}; "
          f"load average {os.getloadavg()[0]:.1f}")
    for m in a.minutes:
        c = last[m].counters()
        ns = best[m] / c["input_samples_copied"] * 1e9
        print(f"  {m:3d} min  {ns:6.3f} ns/sample  moved/appended "
              f"{c['retained_samples_moved'] / c['input_samples_copied']:.3f}  "
              f"peak {c['peak_backing_bytes'] // 4} samples  allocations {c['allocations']}")
    lo, hi = min(a.minutes), max(a.minutes)
    ratio = (best[hi] / hi) / (best[lo] / lo)  # best[] is per stream of that length
    print(f"  per-sample time, {hi} min / {lo} min = {ratio:.3f}  (target: flat, about 1)")


if __name__ == "__main__":
    main()
