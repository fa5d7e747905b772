"""WSOLA tempo change of one renderer window: the compiled `tempo_wsola` against the NumPy
transcription in tests/reference, measured side by side in one run, rounds alternating.

    .venv/bin/python bench/wsola.py [--rounds 15] [--ref-rounds 5]

A 44000-sample speech-like window (voiced harmonics under a syllable envelope, plus noise) at the
renderer's factor 1.25, 35200 samples out. Prints the best round of each and the ratio
(target: the compiled call at least 10x faster). The first round checks the results are equal.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from quorvane._mirrant2 import _tensorhost as th  # noqa: E402
from reference import wsola as ref  # noqa: E402


def speech_like(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000.0
    pitch = 140.0 + 30.0 * np.sin(2 * np.pi * 3.0 * t)
    phase = 2 * np.pi * np.cumsum(pitch) / 16000.0
    voiced = sum(np.sin(k * phase) / k for k in range(1, 8))
    envelope = np.clip(np.sin(2 * np.pi * 4.0 * t), 0.0, None)
    return (0.25 * envelope * voiced + 0.01 * rng.standard_normal(n)).astype(np.float32)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--ref-rounds", type=int, default=5)
    a = ap.parse_args()
    x = speech_like(44000)
    times = {"tempo_wsola": [], "reference": []}
    for r in range(a.rounds):
        t0 = time.perf_counter()
        got = th.tempo_wsola(x, 1.25)
        times["tempo_wsola"].append(time.perf_counter() - t0)
        if r < a.ref_rounds:
            t0 = time.perf_counter()
            want = ref.tempo_wsola(x, 1.25)
            times["reference"].append(time.perf_counter() - t0)
            if r == 0:
                assert got.size == 35200 and np.array_equal(got, want)
    c, n = min(times["tempo_wsola"]), min(times["reference"])
    print(f"tempo_wsola, 44000 samples at factor 1.25 -> 35200; best of {a.rounds} "
          f"(reference: {min(a.rounds, a.ref_rounds)}); load average {os.getloadavg()[0]:.1f}")
    print(f"  tempo_wsola  {c * 1e3:8.3f} ms")
    print(f"  reference    {n * 1e3:8.3f} ms")
    print(f"  reference / tempo_wsola = {n / c:.1f}  (target >= 10)")


if __name__ == "__main__":
    main()
