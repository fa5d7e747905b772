"""Frame records into a pipe: the host's `emit` against a plain os.write loop of the same bytes.

Both run in one child process whose standard output is a pipe that the parent reads and discards,
alternating rounds so that machine noise hits both alike. Prints the best round of each and the
ratio (target: emit within 1.25x of the raw loop).

    .venv/bin/python bench/emit.py [--frames 64] [--rounds 7]
"""

import argparse
import json
import os
import subprocess
import sys
import threading

CHILD = r"""
import json, os, struct, sys, time
import numpy as np
from quorvane._mirrant2._tensorhost import emit
n, rounds = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(0)
block = rng.integers(0, 256, size=(n, 720 * 416 * 3), dtype=np.uint8)
frames = [(i + 3, block[i]) for i in range(n)]
raw = [(struct.pack("<i", i + 3), block[i].tobytes()) for i in range(n)]
res = {"emit": [], "raw": []}
for _ in range(rounds):
    t = time.perf_counter(); emit(frames); res["emit"].append(time.perf_counter() - t)
    t = time.perf_counter()
    for hdr, px in raw:
        os.write(1, hdr)
        mv = memoryview(px)
        while mv:
            mv = mv[os.write(1, mv):]
    res["raw"].append(time.perf_counter() - t)
sys.stderr.write(json.dumps(res) + "\n")
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=7)
    a = ap.parse_args()
    p = subprocess.Popen([sys.executable, "-c", CHILD, str(a.frames), str(a.rounds)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def drain():
        while p.stdout.read(1 << 20):
            pass

    t = threading.Thread(target=drain)
    t.start()
    err = p.stderr.read()
    t.join()
    if p.wait() != 0:
        sys.exit(err.decode())
    res = json.loads(err.decode().strip().splitlines()[-1])
    mb = a.frames * (720 * 416 * 3 + 4) / 1e6
    e, r = min(res["emit"]), min(res["raw"])
    print(f"{a.frames} frame records ({mb:.1f} MB) into a discarding pipe, best of {a.rounds}; "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"  emit        {e * 1e3:8.2f} ms  {mb / e:8.0f} MB/s")
    print(f"  os.write    {r * 1e3:8.2f} ms  {mb / r:8.0f} MB/s")
    print(f"  ratio emit/os.write = {e / r:.3f}  (target <= 1.25)")


if __name__ == "__main__":
    main()
