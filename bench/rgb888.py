"""Float-to-RGB888 chunk conversion against a plain copy of the same float frames and against the
NumPy transcription in tests/reference, measured side by side, alternating rounds.

The copy reads and writes the chunk's float frames once, as the in-place fast path must; the
conversion also writes the RGB888 output, so a ratio near 1 means it runs at memory speed.

    .venv/bin/python bench/rgb888.py [--frames 32] [--rounds 7] [--threads 1 2]
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
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--lut", action="store_true", help="with an identity colour table")
    a = ap.parse_args()
    rng = np.random.default_rng(0)
    src = rng.uniform(-0.2, 1.2, (a.frames, 3, 720, 416)).astype(np.float32)
    work = src.copy()
    dst = np.empty_like(src)
    cc = th.ColorCorrect("lut", lut=np.tile(np.arange(256, dtype=np.uint8), (3, 1))) if a.lut else None
    times = {"copy": []} | {f"convert x{t}": [] for t in a.threads} | {"reference": []}
    for r in range(a.rounds):
        t0 = time.perf_counter()
        np.copyto(dst, src)
        times["copy"].append(time.perf_counter() - t0)
        for t in a.threads:
            np.copyto(work, src)
            frames = list(work)
            t0 = time.perf_counter()
            th.px_to_rgb888_chunk(frames, cc, t)
            times[f"convert x{t}"].append(time.perf_counter() - t0)
        if r < 2:
            np.copyto(work, src)
            t0 = time.perf_counter()
            ref.px_to_rgb888_chunk(list(work), cc)
            times["reference"].append(time.perf_counter() - t0)
    copy = min(times["copy"])
    mb = src.nbytes / 1e6
    print(f"{a.frames} frames ({mb:.0f} MB float32), best of {a.rounds}:")
    for name, ts in times.items():
        best = min(ts)
        print(f"  {name:12s} {best * 1e3:7.1f} ms   x{best / copy:5.2f} of the copy")


if __name__ == "__main__":
    main()
