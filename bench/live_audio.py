"""The live stream's audio conversions: the module's resampler and int16-to-float conversion
against their plain NumPy transcriptions (tests/reference/live_audio.py), and against a plain
memory copy of the same output bytes, measured side by side in one run, best of N rounds.

Targets: the resampler at most half the time of its NumPy transcription (ratio <= 0.5); the int16
conversion, the same one division per sample as NumPy's, within 1.1x of it.

    .venv/bin/python bench/live_audio.py [--seconds 10] [--rounds 7]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from reference import live_audio as ref  # noqa: E402
from quorvane._avatar import _i16_to_f32, _resample_linear  # noqa: E402


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10.0, help="seconds of 48 kHz speech per call")
    ap.add_argument("--rounds", type=int, default=7)
    a = ap.parse_args()
    rng = np.random.default_rng(0)
    pcm48 = np.clip(rng.standard_normal(int(48000 * a.seconds)) * 9000, -32768, 32767).astype(np.int16)
    f48 = ref.i16_to_f32(pcm48)
    out16 = np.empty(int(16000 * a.seconds), np.float32)
    out48 = np.empty_like(f48)
    cases = [
        ("resample 48k->16k", 0.5, lambda: _resample_linear(f48, 48000, 16000),
         lambda: ref.resample_linear(f48, 48000, 16000), lambda: np.copyto(out16, f48[: out16.size])),
        ("int16 -> float32", 1.1, lambda: _i16_to_f32(pcm48), lambda: ref.i16_to_f32(pcm48),
         lambda: np.copyto(out48, f48)),
    ]
    print(f"{a.seconds:g} s of 48 kHz audio per call, best of {a.rounds}; load average {os.getloadavg()[0]:.1f}")
    for name, target, ours, numpy_ref, copy in cases:
        t_ours, t_ref, t_copy = (best(f, a.rounds) for f in (ours, numpy_ref, copy))
        print(f"  {name:18s} ours {t_ours * 1e3:7.2f} ms  numpy {t_ref * 1e3:7.2f} ms  copy {t_copy * 1e3:6.2f} ms"
              f"  ratio ours/numpy = {t_ours / t_ref:.3f} (target <= {target})  ours/copy = {t_ours / t_copy:.1f}")


if __name__ == "__main__":
    main()
