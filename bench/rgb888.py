"""Float-to-RGB888 chunk conversion, measured side by side in one run, rounds alternating.

    .venv/bin/python bench/rgb888.py [--frames 32] [--rounds 11] [--ref-rounds 3]

Prints the best round of each and these ratios (targets):
  - one thread, no correction, against one memcpy of the chunk's float input bytes (<= 3x);
  - the NumPy transcription in tests/reference against that conversion (>= 5x slower);
  - one thread with a colour table against one thread without (<= 1.3x);
  - the speed-up of two threads over one, with and without the table (reported only).
The fast path scales the frames in place, so every run converts a fresh copy of the same frames
(copied outside the timed region); the first round also checks the bytes against the reference.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from quorvane._mirrant2 import _tensorhost as th  # noqa: E402
from reference import rgb888 as ref  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--ref-rounds", type=int, default=3)
    a = ap.parse_args()
    rng = np.random.default_rng(0)
    src = rng.uniform(-0.2, 1.2, (a.frames, 3, 720, 416)).astype(np.float32)
    work = np.empty_like(src)
    dst = np.empty_like(src)
    lut = th.ColorCorrect("lut", lut=rng.integers(0, 256, (3, 256)).astype(np.uint8))

    def fresh():
        np.copyto(work, src)
        return list(work)

    def memcpy():
        t0 = time.perf_counter()
        np.copyto(dst, src)
        return time.perf_counter() - t0, None

    def convert(cc, threads):
        def run():
            frames = fresh()
            t0 = time.perf_counter()
            out = th.px_to_rgb888_chunk(frames, cc, threads)
            return time.perf_counter() - t0, out
        return run

    def reference(cc):
        def run():
            frames = fresh()
            t0 = time.perf_counter()
            out = ref.px_to_rgb888_chunk(frames, cc)
            return time.perf_counter() - t0, out
        return run

    cases = {
        "memcpy": memcpy,
        "x1": convert(None, 1),
        "x1 lut": convert(lut, 1),
        "x2": convert(None, 2),
        "x2 lut": convert(lut, 2),
        "reference": reference(None),
        "reference lut": reference(lut),
    }
    # Warm-up: the per-thread scratch and the two-thread pool are made once per process.
    for name in ("x1", "x2"):
        cases[name]()
    times = {name: [] for name in cases}
    for r in range(a.rounds):
        outs = {}
        for name, run in cases.items():
            if name.startswith("reference") and r >= a.ref_rounds:
                continue
            t, outs[name] = run()
            times[name].append(t)
        if r == 0:
            for name in ("x1", "x2"):
                assert np.array_equal(outs[name], outs["reference"]), name
                assert np.array_equal(outs[name + " lut"], outs["reference lut"]), name
    best = {name: min(ts) for name, ts in times.items()}

    mb_in, mb_out = src.nbytes / 1e6, a.frames * 720 * 416 * 3 / 1e6
    print(f"{a.frames} frames: {mb_in:.1f} MB float32 in, {mb_out:.1f} MB RGB888 out; "
          f"best of {a.rounds} rounds (reference: {min(a.rounds, a.ref_rounds)}); "
          f"load average {os.getloadavg()[0]:.1f}")
    for name in cases:
        print(f"  {name:14s} {best[name] * 1e3:8.2f} ms")
    print(f"  1 thread / memcpy            = {best['x1'] / best['memcpy']:6.2f}  (target <= 3)")
    print(f"  reference / 1 thread         = {best['reference'] / best['x1']:6.2f}  (target >= 5)")
    print(f"  reference lut / 1 thread lut = {best['reference lut'] / best['x1 lut']:6.2f}")
    print(f"  1 thread lut / 1 thread      = {best['x1 lut'] / best['x1']:6.2f}  (target <= 1.3)")
    print(f"  speed-up of 2 threads        = {best['x1'] / best['x2']:6.2f}  "
          f"(lut: {best['x1 lut'] / best['x2 lut']:.2f})")


if __name__ == "__main__":
    main()
