"""Decoder rows of a steady chunk (8 latents with prev_lat, 32 rows, 21.5 MB): the compiled
`build_dec_inputs` against a memory-speed floor in NumPy, measured side by side in one run, rounds
alternating.

    .venv/bin/python bench/decoder_rows.py [--rounds 15] [--ref-rounds 5]

The floor allocates the same (32, 36, 4680) float32 array with np.zeros and copies each row's two
latents into it once, which is the least any implementation must move. Prints the best round of
each and the ratio (target: build_dec_inputs within 1.5x of the floor); the NumPy transcription in
tests/reference is timed too, and the first round checks the rows equal it.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from quorvane._mirrant2 import _tensorhost as th  # noqa: E402
from reference import decoder_rows as ref  # noqa: E402

LC, PLANE = 16, 90 * 52


def floor(lats, prev_lat):
    xs = np.zeros((32, 36, PLANE), dtype=np.float32)
    for i, cur in enumerate(lats):
        before = lats[i - 1] if i else prev_lat
        for ph in range(4):
            xs[4 * i + ph, 0:LC] = cur.reshape(LC, PLANE)
            xs[4 * i + ph, LC:2 * LC] = before.reshape(LC, PLANE)
    return xs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--ref-rounds", type=int, default=5)
    a = ap.parse_args()
    rng = np.random.default_rng(0)
    lats = [rng.standard_normal((LC, 90, 52)).astype(np.float32) for _ in range(8)]
    prev_lat = rng.standard_normal((LC, 90, 52)).astype(np.float32)
    cases = {
        "build_dec_inputs": lambda: th.build_dec_inputs(lats, 8, prev_lat)[0],
        "zeros + copies": lambda: floor(lats, prev_lat),
        "reference": lambda: ref.build_dec_inputs(lats, 8, prev_lat)[0],
    }
    times = {name: [] for name in cases}
    for r in range(a.rounds):
        outs = {}
        for name, run in cases.items():
            if name == "reference" and r >= a.ref_rounds:
                continue
            t0 = time.perf_counter()
            outs[name] = run()
            times[name].append(time.perf_counter() - t0)
        if r == 0:
            assert outs["build_dec_inputs"].shape == (32, 36, 90, 52)
            assert np.array_equal(outs["build_dec_inputs"], outs["reference"])
        del outs  # each round allocates afresh, as the renderer does per chunk
    best = {name: min(ts) for name, ts in times.items()}
    mb = 32 * 36 * PLANE * 4 / 1e6
    print(f"build_dec_inputs, steady chunk ({mb:.1f} MB); best of {a.rounds} "
          f"(reference: {min(a.rounds, a.ref_rounds)}); load average {os.getloadavg()[0]:.1f}")
    for name, t in best.items():
        print(f"  {name:17s} {t * 1e3:7.3f} ms  {mb / t / 1e3:6.1f} GB/s")
    ratio = best["build_dec_inputs"] / best["zeros + copies"]
    print(f"  build_dec_inputs / (zeros + copies) = {ratio:.2f}  (target <= 1.5)")
    print(f"  reference / build_dec_inputs        = "
          f"{best['reference'] / best['build_dec_inputs']:.2f}")


if __name__ == "__main__":
    main()
